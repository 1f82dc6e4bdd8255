// Extracts one int from the text of a pid file the way formatted stream input does: leading
// white space skipped, an optional sign, then decimal digits up to the first other character.
// Fed in pieces, so a file of any length is read through a small stack buffer.
#pragma once

#include <cstddef>

#include "daemon/tVerdict.h"

namespace nQUORVAMONITORD_18_5 {

// Most bytes read from a pid file: a number not complete within them is not accepted. One that
// ends exactly at the limit is, when the file ends there or goes on with something else.
constexpr size_t kMaxPidFileBytes = 4096;

class tPidParser {
  public:
    // Takes the next bytes of the text. Returns false once the outcome is settled and no further
    // bytes can change it.
    bool feed(const char* data, size_t size);

    // Ends the text. Returns true and stores the number when one was extracted; false when the
    // text is empty, does not start with a number, or holds a value outside the int range.
    bool finish(int& pid) const;

    // Reads the file open at fd, at most kMaxPidFileBytes bytes through a stack buffer, and one
    // more when a number reaches the limit, to see whether it ends there. Returns kUsed with pid
    // set, kTooLarge when no number is complete within the limit, kNotANumber, or kUnreachable
    // on a read error.
    static tReason readFile(int fd, int& pid);

  private:
    enum class tState { kSkipping, kSigned, kDigits, kDone, kFailed };

    tState state_ = tState::kSkipping;
    bool negative_ = false;
    long long magnitude_ = 0;
};

}  // namespace nQUORVAMONITORD_18_5
