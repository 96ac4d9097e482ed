#pragma once

// Pointer<T>, the owning handle with value semantics behind the data objects.

#include <memory>
#include <utility>

namespace Morvane {

// Owning handle with value semantics: copies deep-copy the owned object, and copy assignment assigns into
// the object the target already owns, so references into it stay valid.
template <typename T>
class Pointer {
public:
    explicit Pointer(T* object) : object_(object) {}
    explicit Pointer(std::unique_ptr<T> object) : object_(std::move(object)) {}

    Pointer(const Pointer& other) : object_(std::make_unique<T>(*other.object_)) {}
    Pointer(Pointer&& other) noexcept = default;

    Pointer& operator=(const Pointer& other) {
        if (this != &other)
            *object_ = *other.object_;
        return *this;
    }
    Pointer& operator=(Pointer&& other) noexcept = default;

    ~Pointer() = default;

    T& operator*() { return *object_; }
    const T& operator*() const { return *object_; }
    T* operator->() { return object_.get(); }
    const T* operator->() const { return object_.get(); }

private:
    std::unique_ptr<T> object_;
};

} // namespace Morvane
