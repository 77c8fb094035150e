#include "engine.h"

#include "exports/tessel.h"
#include "win32/windows.h"

namespace larkin::frontend {
namespace {

// The engine's CreateUSBBoot (tessel.h gives no type for it yet).
using CreateUSBBootFunction = int (*)(const char* destination, const char* source, int copyFiles);

}  // namespace

TesselEngine::~TesselEngine() {
    // The engine stays loaded for the life of the process, as its tables do.
}

void* TesselEngine::Bind(const char* name, void** cache, Failure* failure) {
    if (*cache != nullptr) return *cache;
    if (module_ == nullptr) {
        module_ = LoadLibraryA(library_.c_str());
        if (module_ == nullptr) {
            *failure = {runtime_error::kDllLoad, QStringLiteral("File not found: %1 (error %2)")
                                                     .arg(QString::fromStdString(library_))
                                                     .arg(GetLastError())};
            return nullptr;
        }
    }
    FARPROC entry = GetProcAddress(static_cast<HMODULE>(module_), name);
    if (entry == nullptr) {
        *failure = {runtime_error::kDllEntryPoint,
                    QStringLiteral("Can't find DLL entry point %1 in %2")
                        .arg(QLatin1String(name), QString::fromStdString(library_))};
        return nullptr;
    }
    *cache = reinterpret_cast<void*>(entry);
    return *cache;
}

EngineResult TesselEngine::GetUSBDevCount() {
    EngineResult result;
    void* entry = Bind("GetUSBDevCount", &getUSBDevCount_, &result.failure);
    if (entry != nullptr) result.value = reinterpret_cast<TESSEL_GET_USB_DEV_COUNT>(entry)();
    return result;
}

EngineResult TesselEngine::GetUSBDevInfo(int index, std::span<char> text) {
    EngineResult result;
    if (text.size() < TESSEL_DEVICE_INFO_SIZE) {
        result.value = ATA_ERROR;
        return result;
    }
    void* entry = Bind("GetUSBDevInfo", &getUSBDevInfo_, &result.failure);
    if (entry != nullptr)
        result.value = reinterpret_cast<TESSEL_GET_USB_DEV_INFO>(entry)(index, text.data());
    return result;
}

EngineResult TesselEngine::CreateUSBBoot(const std::string& destination, const std::string& source,
                                         int copyFiles) {
    EngineResult result;
    void* entry = Bind("CreateUSBBoot", &createUSBBoot_, &result.failure);
    if (entry != nullptr)
        result.value = reinterpret_cast<CreateUSBBootFunction>(entry)(destination.c_str(),
                                                                      source.c_str(), copyFiles);
    return result;
}

}  // namespace larkin::frontend
