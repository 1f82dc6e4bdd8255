// Extracts one int from the text of a pid file the way formatted stream input does: leading
// white space skipped, an optional sign, then decimal digits up to the first other character.
// Fed in pieces, so a file of any length is read through a small stack buffer.
#pragma once

#include <cstddef>

namespace nQUORVAMONITORD_18_5 {

class tPidParser {
  public:
    // Takes the next bytes of the text. Returns false once the outcome is settled and no further
    // bytes can change it.
    bool feed(const char* data, size_t size);

    // Ends the text. Returns true and stores the number when one was extracted; false when the
    // text is empty, does not start with a number, or holds a value outside the int range.
    bool finish(int& pid) const;

  private:
    enum class tState { kSkipping, kSigned, kDigits, kDone, kFailed };

    tState state_ = tState::kSkipping;
    bool negative_ = false;
    long long magnitude_ = 0;
};

}  // namespace nQUORVAMONITORD_18_5
