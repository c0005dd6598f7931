// "Is my owner still there?" for callbacks that may run after their owner is gone. The owner keeps
// a WeakOwner member, declared last so that it goes first; a callback captures watch() and does
// nothing once alive() is false. Ask on the thread that destroys the owner: elsewhere the answer
// can change at any moment.
#pragma once

#include <memory>

namespace zarvo {

class OwnerWatch {
public:
    OwnerWatch() = default;
    bool alive() const { return !token_.expired(); }

private:
    friend class WeakOwner;
    explicit OwnerWatch(std::weak_ptr<const char> token) : token_(std::move(token)) {}

    std::weak_ptr<const char> token_;
};

class WeakOwner {
public:
    WeakOwner() = default;
    WeakOwner(const WeakOwner&) = delete;
    WeakOwner& operator=(const WeakOwner&) = delete;

    OwnerWatch watch() const { return OwnerWatch(token_); }
    // Ends the owner's life early, e.g. first thing in a destructor that still has work to do.
    void invalidate() { token_.reset(); }

private:
    std::shared_ptr<const char> token_ = std::make_shared<const char>(0);
};

} // namespace zarvo
