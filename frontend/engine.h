// The three engine functions the program calls. TesselEngine binds them in
// the engine library; tests put their own engine in its place.
#ifndef LARKIN_FRONTEND_ENGINE_H
#define LARKIN_FRONTEND_ENGINE_H

#include <span>
#include <string>

#include "failure.h"

namespace larkin::frontend {

// The engine's result, or the failure to reach the engine at all.
struct EngineResult {
    int value = 0;
    Failure failure;
};

inline constexpr int kAtaOk = 0;

class Engine {
  public:
    virtual ~Engine() = default;
    virtual EngineResult GetUSBDevCount() = 0;
    // text must hold at least 164 bytes; the program passes 256.
    virtual EngineResult GetUSBDevInfo(int index, std::span<char> text) = 0;
    virtual EngineResult CreateUSBBoot(const std::string& destination, const std::string& source,
                                       int copyFiles) = 0;
};

// The engine library "Tessel", loaded by name (beside the program first) at
// the first call of any of the three functions; each function is looked up
// by its plain name at its own first call. The library stays loaded.
class TesselEngine : public Engine {
  public:
    // library: the engine library's name ("Tessel"; tests bind others).
    explicit TesselEngine(std::string library = "Tessel") : library_(std::move(library)) {}
    ~TesselEngine() override;
    TesselEngine(const TesselEngine&) = delete;
    TesselEngine& operator=(const TesselEngine&) = delete;

    EngineResult GetUSBDevCount() override;
    EngineResult GetUSBDevInfo(int index, std::span<char> text) override;
    EngineResult CreateUSBBoot(const std::string& destination, const std::string& source,
                               int copyFiles) override;

  private:
    // The entry point called name, or a failure.
    void* Bind(const char* name, void** cache, Failure* failure);

    std::string library_;
    void* module_ = nullptr;
    void* getUSBDevCount_ = nullptr;
    void* getUSBDevInfo_ = nullptr;
    void* createUSBBoot_ = nullptr;
};

}  // namespace larkin::frontend

#endif
