// Counts the heap allocations a test binary makes while a window is open. Linking this in
// replaces the C library's allocation entry points (or, under AddressSanitizer, hooks its
// allocator), so operator new, std::string and everything else that reaches malloc is counted.
#pragma once

namespace nQUORVAMONITORD_18_5 {

class tAllocationWindow {
  public:
    // Opens the window with the count at zero.
    tAllocationWindow();
    ~tAllocationWindow();
    tAllocationWindow(const tAllocationWindow&) = delete;
    tAllocationWindow& operator=(const tAllocationWindow&) = delete;

    // Closes the window and returns the allocations made while it was open.
    long count();
};

}  // namespace nQUORVAMONITORD_18_5
