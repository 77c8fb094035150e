// Control of the simulated machine for tests and tools.
#include "larkin/simulation.h"

#include "runtime/runtime.h"
#include "backends/sim/sim_backend.h"

namespace larkin::sim {

namespace {

platform::sim::SimBackend* Simulated() {
    return dynamic_cast<platform::sim::SimBackend*>(&platform::Machine());
}

}  // namespace

bool Active() {
    return Simulated() != nullptr;
}

bool Restart(const std::string& machineFile, std::string* error) {
    return platform::Runtime::Get().Restart(machineFile, error);
}

std::string StateDirectory() {
    auto* machine = Simulated();
    return machine ? machine->StateFolder() : std::string();
}

bool Plug(std::string_view diskId, bool present, std::string* error) {
    auto* machine = Simulated();
    if (!machine && error) *error = "the platform does not run on a simulated machine";
    return machine && machine->Plug(std::string(diskId), present, error);
}

std::vector<DiskStatus> Disks() {
    auto* machine = Simulated();
    return machine ? machine->DiskStatuses() : std::vector<DiskStatus>{};
}

}  // namespace larkin::sim
