// Faults the simulated machine is told to inject into calls, and the record
// of the calls made while recording is on.
#ifndef LARKIN_PLATFORM_FAULT_TABLE_H
#define LARKIN_PLATFORM_FAULT_TABLE_H

#include <mutex>
#include <string_view>
#include <vector>

#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "win32/base.h"

namespace larkin::platform {

class FaultTable {
  public:
    void Add(const larkin::controls::Fault& fault);
    void Clear();
    // True (with the fault's error as the last error) when a fault fires.
    bool Fires(std::string_view call, std::string_view device, DWORD ioctl);
    void Record(bool on);
    std::vector<larkin::controls::CallRecord> Recorded();

  private:
    bool recording_ = false;
    std::vector<larkin::controls::CallRecord> recorded_;
    struct Active {
        larkin::controls::Fault fault;
        int seen = 0;
        int fired = 0;
    };
    std::mutex mutex_;
    std::vector<Active> faults_;
};

}  // namespace larkin::platform

#endif
