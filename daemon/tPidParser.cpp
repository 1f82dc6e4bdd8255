#include "daemon/tPidParser.h"

#include <errno.h>
#include <unistd.h>

#include <climits>

namespace nQUORVAMONITORD_18_5 {
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Largest magnitude an int can hold with either sign: INT_MIN's.
constexpr long long kMaxMagnitude = -static_cast<long long>(INT_MIN);

}  // namespace

bool tPidParser::feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        switch (state_) {
            case tState::kSkipping:
                if (isSpace(c)) {
                    break;
                }
                if (c == '+' || c == '-') {
                    negative_ = (c == '-');
                    state_ = tState::kSigned;
                    break;
                }
                [[fallthrough]];
            case tState::kSigned:
            case tState::kDigits:
                if (!isDigit(c)) {
                    state_ = (state_ == tState::kDigits) ? tState::kDone : tState::kFailed;
                    return false;
                }
                magnitude_ = magnitude_ * 10 + (c - '0');
                if (magnitude_ > kMaxMagnitude) {
                    // Out of range whatever follows.
                    state_ = tState::kFailed;
                    return false;
                }
                state_ = tState::kDigits;
                break;
            case tState::kDone:
            case tState::kFailed:
                return false;
        }
    }
    return state_ != tState::kDone && state_ != tState::kFailed;
}

bool tPidParser::finish(int& pid) const {
    if (state_ != tState::kDigits && state_ != tState::kDone) {
        return false;
    }
    const long long value = negative_ ? -magnitude_ : magnitude_;
    if (value > INT_MAX || value < INT_MIN) {
        return false;
    }
    pid = static_cast<int>(value);
    return true;
}

tReason tPidParser::readFile(int fd, int& pid) {
    tPidParser parser;
    char chunk[512];
    for (size_t total = 0; total < kMaxPidFileBytes;) {
        size_t want = kMaxPidFileBytes - total;
        want = want < sizeof chunk ? want : sizeof chunk;
        const ssize_t count = ::read(fd, chunk, want);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return tReason::kUnreachable;
        }
        if (count == 0 || !parser.feed(chunk, static_cast<size_t>(count))) {
            return parser.finish(pid) ? tReason::kUsed : tReason::kNotANumber;
        }
        total += static_cast<size_t>(count);
    }
    int reached = 0;
    if (!parser.finish(reached)) {
        return tReason::kTooLarge;  // blanks or a sign up to the limit
    }
    char next = 0;
    ssize_t count = 0;
    do {
        count = ::read(fd, &next, 1);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        return tReason::kUnreachable;
    }
    if (count == 1 && isDigit(next)) {
        return tReason::kTooLarge;  // the number runs on past the limit
    }
    pid = reached;
    return tReason::kUsed;
}

}  // namespace nQUORVAMONITORD_18_5
