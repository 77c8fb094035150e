// Runs the engine calls, drive queries and the copy on one thread of their
// own, one at a time, while the windows stay painted but take no input.
#ifndef LARKIN_FRONTEND_ENGINE_WORKER_H
#define LARKIN_FRONTEND_ENGINE_WORKER_H

#include <QObject>
#include <QThread>
#include <functional>
#include <optional>
#include <type_traits>

namespace larkin::frontend {

class EngineWorker {
  public:
    EngineWorker();
    ~EngineWorker();
    EngineWorker(const EngineWorker&) = delete;
    EngineWorker& operator=(const EngineWorker&) = delete;

    // Runs job on the worker thread and returns its result. Until it is
    // done the window thread goes on painting and delivering timers, but no
    // window takes mouse, keyboard or close input.
    template <class Job>
    auto Run(Job&& job) -> std::invoke_result_t<Job&> {
        using Result = std::invoke_result_t<Job&>;
        if constexpr (std::is_void_v<Result>) {
            RunOnWorker([&] { job(); });
        } else {
            std::optional<Result> result;
            RunOnWorker([&] { result.emplace(job()); });
            return std::move(*result);
        }
    }

  private:
    void RunOnWorker(const std::function<void()>& job);

    QThread thread_;
    QObject* context_ = nullptr;  // lives on thread_; jobs are queued to it
    int depth_ = 0;
};

}  // namespace larkin::frontend

#endif
