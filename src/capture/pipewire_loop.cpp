#include "capture/pipewire_loop.h"

#include <pipewire/pipewire.h>

#include <cerrno>
#include <mutex>

namespace quorvel {

struct PipeWireLoop::CoreListener {
    spa_hook hook{};
    pw_core_events events{};
};

namespace {

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

std::unique_ptr<PipeWireLoop> PipeWireLoop::connect(const std::string& threadName, int& error) {
    initOnce();
    std::unique_ptr<PipeWireLoop> self(new PipeWireLoop());
    self->loop_ = pw_thread_loop_new(threadName.c_str(), nullptr);
    if (!self->loop_) {
        error = -errno;
        return nullptr;
    }
    self->context_ = pw_context_new(pw_thread_loop_get_loop(self->loop_), nullptr, 0);
    if (!self->context_) {
        error = -errno;
        return nullptr;
    }
    if (pw_thread_loop_start(self->loop_) < 0) {
        error = -EIO;
        return nullptr;
    }
    Lock lock(*self);
    self->core_ = pw_context_connect(self->context_, nullptr, 0);
    if (!self->core_) {
        error = errno > 0 ? -errno : -EHOSTDOWN;
        return nullptr;
    }
    self->listener_ = std::make_unique<CoreListener>();
    self->listener_->events.version = PW_VERSION_CORE_EVENTS;
    self->listener_->events.done = &PipeWireLoop::onCoreDone;
    self->listener_->events.error = &PipeWireLoop::onCoreError;
    pw_core_add_listener(self->core_, &self->listener_->hook, &self->listener_->events, self.get());
    return self;
}

PipeWireLoop::~PipeWireLoop() {
    if (loop_) pw_thread_loop_stop(loop_);
    if (listener_) spa_hook_remove(&listener_->hook);
    if (core_) pw_core_disconnect(core_);
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
}

PipeWireLoop::Lock::Lock(PipeWireLoop& loop) : loop_(loop) {
    pw_thread_loop_lock(loop_.loop_);
}

PipeWireLoop::Lock::~Lock() {
    pw_thread_loop_unlock(loop_.loop_);
}

void PipeWireLoop::onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* self = static_cast<PipeWireLoop*>(data);
    if (id != PW_ID_CORE) return;
    self->doneSeq_ = seq;
    self->signal();
}

void PipeWireLoop::onCoreError(void* data, std::uint32_t id, int, int res, const char*) {
    auto* self = static_cast<PipeWireLoop*>(data);
    // Errors about other objects (a refused link, an object that went away while we
    // bound it) belong to their owners; only a broken connection ends ours.
    if (id != PW_ID_CORE || res != -EPIPE) return;
    self->error_ = res;
    self->signal();
}

bool PipeWireLoop::roundtrip(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pendingSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    while (doneSeq_ != pendingSeq_) {
        if (error_ != 0 || !waitUntil(deadline)) return false;
    }
    return error_ == 0;
}

bool PipeWireLoop::waitUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    timespec until{};
    pw_thread_loop_get_time(loop_, &until, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
    pw_thread_loop_timed_wait_full(loop_, &until);
    return true;
}

void PipeWireLoop::signal() {
    pw_thread_loop_signal(loop_, false);
}

}  // namespace quorvel
