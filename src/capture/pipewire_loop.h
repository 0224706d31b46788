#pragma once

#include <chrono>
#include <memory>
#include <string>

struct pw_thread_loop;
struct pw_context;
struct pw_core;

namespace quorvel {

// One connection to the PipeWire server, served by a thread loop whose thread carries
// `threadName` (e.g. "quorvel.input"). Every PipeWire object made on this connection is
// touched only on that thread or under Lock.
class PipeWireLoop {
public:
    // Connects to the server the environment names (PIPEWIRE_REMOTE, XDG_RUNTIME_DIR).
    // Gives nothing and sets `error` (a negative errno) when no server answers.
    static std::unique_ptr<PipeWireLoop> connect(const std::string& threadName, int& error);
    ~PipeWireLoop();
    PipeWireLoop(const PipeWireLoop&) = delete;
    PipeWireLoop& operator=(const PipeWireLoop&) = delete;

    // Holds the loop's lock: the loop thread runs nothing meanwhile.
    class Lock {
    public:
        explicit Lock(PipeWireLoop& loop);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        PipeWireLoop& loop_;
    };

    pw_thread_loop* threadLoop() const { return loop_; }
    pw_core* core() const { return core_; }

    // Under Lock: waits until the server has handled everything sent so far (and the
    // events that answer it have run). False on timeout or a broken connection.
    bool roundtrip(std::chrono::milliseconds timeout);
    // Under Lock: sleeps until signal() or the deadline; false once it has passed.
    bool waitUntil(std::chrono::steady_clock::time_point deadline);
    // On the loop thread: wakes waitUntil.
    void signal();

    // A negative errno once the connection broke, else 0.
    int error() const { return error_; }

private:
    PipeWireLoop() = default;
    static void onCoreDone(void* data, std::uint32_t id, int seq);
    static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    struct CoreListener;
    std::unique_ptr<CoreListener> listener_;
    int pendingSeq_ = -1;
    int doneSeq_ = -1;
    int error_ = 0;
};

}  // namespace quorvel
