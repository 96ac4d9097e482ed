#pragma once

// Pointer<T>, the owning handle with value semantics behind the data objects.

#include <memory>
#include <type_traits>
#include <utility>

namespace Morvane {

// Owning handle with value semantics: copies deep-copy the owned object, and copy assignment assigns into
// the object the target already owns, so references into it stay valid.
//
// A moved-from handle owns nothing. Copying it gives another empty handle, and assigning it empties the
// target; copy assignment into an empty handle makes a new copy. Nothing else may be done with one.
template <typename T>
class Pointer {
public:
    explicit Pointer(T* object) : object_(object) {}
    explicit Pointer(std::unique_ptr<T> object) : object_(std::move(object)) {}

    Pointer(const Pointer& other) : object_(other.object_ ? std::make_unique<T>(*other.object_) : nullptr) {}
    Pointer(Pointer&& other) noexcept = default;

    Pointer& operator=(const Pointer& other) {
        if (this == &other)
            return *this;
        if (!other.object_)
            object_.reset();
        else if (object_)
            *object_ = *other.object_;
        else
            object_ = std::make_unique<T>(*other.object_);
        return *this;
    }
    Pointer& operator=(Pointer&& other) noexcept = default;

    // The move assignment of the data objects: moves the content of `other`'s object into the object this
    // handle owns, so references into it stay valid; takes `other`'s object over only when this handle owns
    // none (or `other` none, which empties this handle). `other` keeps its moved-from object.
    void moveContentFrom(Pointer&& other) noexcept(std::is_nothrow_move_assignable_v<T>) {
        if (this == &other)
            return;
        if (object_ && other.object_)
            *object_ = std::move(*other.object_);
        else
            object_ = std::move(other.object_);
    }

    ~Pointer() = default;

    T& operator*() { return *object_; }
    const T& operator*() const { return *object_; }
    T* operator->() { return object_.get(); }
    const T* operator->() const { return object_.get(); }

private:
    std::unique_ptr<T> object_;
};

// The handle of the data objects (messages, plaintexts, ciphertexts, secret keys, multi-party data): a Pointer
// whose move assignment keeps the target's object and moves the content into it, so that references into a
// data object stay valid across `a = std::move(b)`. Move construction still takes the object over.
template <typename T>
class ObjectPointer : public Pointer<T> {
public:
    using Pointer<T>::Pointer;

    ObjectPointer(const ObjectPointer&) = default;
    ObjectPointer(ObjectPointer&&) noexcept = default;
    ObjectPointer& operator=(const ObjectPointer&) = default;
    ObjectPointer& operator=(ObjectPointer&& other) noexcept(std::is_nothrow_move_assignable_v<T>) {
        this->moveContentFrom(std::move(other));
        return *this;
    }
    ~ObjectPointer() = default;
};

} // namespace Morvane
