// Controls for tests and tools on any machine.
#include "larkin/test_controls.h"

#include "runtime/runtime.h"

namespace larkin::controls {

void InjectFault(const Fault& fault) {
    platform::Runtime::Get().TheBackend();
    platform::Runtime::Get().faults.Add(fault);
}

void ClearFaults() {
    platform::Runtime::Get().faults.Clear();
}

void RecordCalls(bool on) {
    platform::Runtime::Get().TheBackend();
    platform::Runtime::Get().faults.Record(on);
}

std::vector<CallRecord> RecordedCalls() {
    return platform::Runtime::Get().faults.Recorded();
}

std::vector<HANDLE> OpenHandles() {
    return platform::Runtime::Get().handles.Handles();
}

std::vector<JournalEntry> Journal() {
    return platform::Runtime::Get().Journal().Entries();
}

bool ClearJournal() {
    auto& journal = platform::Runtime::Get().Journal();
    return journal.Active() && journal.Clear() == ERROR_SUCCESS;
}

std::vector<DWORD> Pauses() {
    auto& runtime = platform::Runtime::Get();
    std::lock_guard guard(runtime.pauseMutex);
    return runtime.pauses;
}

void ClearPauses() {
    auto& runtime = platform::Runtime::Get();
    std::lock_guard guard(runtime.pauseMutex);
    runtime.pauses.clear();
}

}  // namespace larkin::controls
