// Fuzzes the pid-file extraction of the termination sweep. The first input byte chooses how the
// text is cut into pieces; the rest is the pid file's content. Checked for every input:
// - tPidParser fed the whole text gives what formatted stream input (>> into an int) gives;
// - fed in pieces, stopping where feed says the outcome is settled, it gives the same, and
//   bytes fed after that point change nothing;
// - readRecordedPid, which the sweep calls, reads the same text from a real file and accepts
//   exactly the positive process ids among those results, other than this process's own, that
//   are complete within the sweep's read limit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "daemon/tPidParser.h"
#include "daemon/terminateRecordedProcesses.h"
#include "tests/fuzz/fuzzRequire.h"

namespace {

using nQUORVAMONITORD_18_5::readRecordedPid;
using nQUORVAMONITORD_18_5::tPidParser;

struct tOutcome {
    bool extracted = false;
    int pid = 0;

    bool operator==(const tOutcome& other) const {
        return extracted == other.extracted && (!extracted || pid == other.pid);
    }
};

tOutcome streamExtraction(const std::string& text) {
    std::istringstream in(text);
    tOutcome outcome;
    in >> outcome.pid;
    outcome.extracted = !in.fail();
    return outcome;
}

tOutcome finish(const tPidParser& parser) {
    tOutcome outcome;
    outcome.extracted = parser.finish(outcome.pid);
    return outcome;
}

// Feeds text in pieces whose sizes cycle through 1 .. (cut % 16) + 1, plus an empty piece now
// and then, until feed reports the outcome settled. Then feeds the rest anyway and requires
// that the outcome did not move.
tOutcome piecewiseExtraction(const std::string& text, uint8_t cut) {
    tPidParser parser;
    const size_t longest = (cut % 16u) + 1;
    size_t offset = 0;
    size_t step = 0;
    bool settled = false;
    while (offset < text.size() && !settled) {
        const size_t piece = std::min(text.size() - offset, (step % longest) + 1);
        if ((cut & 0x80u) != 0 && step % 3 == 0) {
            settled = !parser.feed(text.data() + offset, 0);
        }
        settled = settled || !parser.feed(text.data() + offset, piece);
        offset += piece;
        ++step;
    }
    const tOutcome outcome = finish(parser);
    if (settled) {
        QV_REQUIRE(!parser.feed(text.data() + offset, text.size() - offset));
        QV_REQUIRE(!parser.feed("7", 1));
        QV_REQUIRE(finish(parser) == outcome);
    }
    return outcome;
}

// A real file in a directory of its own, reached by path as the sweep reaches its pid files:
// owned by this user and writable by nobody else, so the sweep trusts it.
class tScratchFile {
  public:
    tScratchFile() {
        char directory[] = "/tmp/qvPidFuzz.XXXXXX";
        if (::mkdtemp(directory) == nullptr) {
            std::perror("tPidParserFuzzer: mkdtemp");
            std::abort();
        }
        std::snprintf(path_, sizeof(path_), "%s/fuzz.pid", directory);
        descriptor_ = ::open(path_, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (descriptor_ < 0) {
            std::perror("tPidParserFuzzer: open");
            std::abort();
        }
    }

    ~tScratchFile() {
        ::close(descriptor_);
        ::unlink(path_);
        *std::strrchr(path_, '/') = '\0';
        ::rmdir(path_);
    }

    tScratchFile(const tScratchFile&) = delete;
    tScratchFile& operator=(const tScratchFile&) = delete;

    const char* hold(const std::string& text) {
        if (::ftruncate(descriptor_, 0) != 0 || ::pwrite(descriptor_, text.data(), text.size(),
                                                         0) != static_cast<ssize_t>(text.size())) {
            std::perror("tPidParserFuzzer: write");
            std::abort();
        }
        return path_;
    }

  private:
    int descriptor_ = -1;
    char path_[64] = {};
};

// The sweep reads at most kMaxPidFileBytes: the outcome counts only if it is settled within them,
// the file ends within them, or a number runs up to the limit and ends there.
bool settledWithinReadLimit(const std::string& text) {
    const size_t limit = nQUORVAMONITORD_18_5::kMaxPidFileBytes;
    if (text.size() <= limit) {
        return true;
    }
    tPidParser prefix;
    if (!prefix.feed(text.data(), limit)) {
        return true;
    }
    int pid = 0;
    return prefix.finish(pid) && (text[limit] < '0' || text[limit] > '9');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t cut = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const tOutcome expected = streamExtraction(text);

    tPidParser whole;
    whole.feed(text.data(), text.size());
    QV_REQUIRE(finish(whole) == expected);

    QV_REQUIRE(piecewiseExtraction(text, cut) == expected);

    static tScratchFile file;
    static nQUORVAMONITORD_18_5::tPidFileWalk walk;
    const nQUORVAMONITORD_18_5::tVerdict verdict = readRecordedPid(file.hold(text), walk);
    const bool accepted = verdict.used();
    QV_REQUIRE(accepted == (expected.extracted && expected.pid > 0 && expected.pid != ::getpid() &&
                            settledWithinReadLimit(text)));
    QV_REQUIRE(!accepted || (verdict.pid == expected.pid && !verdict.ownerBound));
    return 0;
}
