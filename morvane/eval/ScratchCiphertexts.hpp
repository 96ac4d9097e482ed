#pragma once

// Library-internal: the temporaries of the evaluator's composite operations (rotate-and-sum ladders, rotSum,
// killImag), kept between calls so that a call in steady state allocates nothing.

#if !defined(MORVANE_LAYER_EVAL)
#error "morvane/eval/ScratchCiphertexts.hpp is internal to the eval layer: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <optional>

namespace Morvane {
namespace detail {

// A few reusable ciphertexts of one context, safe to lease from several threads at once. A lease is a
// ciphertext in the state of a fresh `Ciphertext(context, false)` in everything but its slot values, which
// are left from an earlier use: every temporary is written whole before it is read. When every kept one is
// leased (nested or concurrent calls beyond the few kept) a lease makes a fresh ciphertext of its own.
class ScratchCiphertexts {
    struct Slot {
        std::atomic<bool> busy{false};
        std::optional<Ciphertext> object;
    };

public:
    explicit ScratchCiphertexts(Context context) : context_(std::move(context)) {}

    ScratchCiphertexts(const ScratchCiphertexts&) = delete;
    ScratchCiphertexts& operator=(const ScratchCiphertexts&) = delete;

    class Lease {
    public:
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() {
            if (slot_ != nullptr)
                slot_->busy.store(false, std::memory_order_release);
        }

        Ciphertext& operator*() { return slot_ != nullptr ? *slot_->object : *own_; }

    private:
        friend class ScratchCiphertexts;
        explicit Lease(Slot* slot) : slot_(slot) {}
        explicit Lease(const Context& context) : own_(std::in_place, context, false) {}

        Slot* slot_ = nullptr;
        std::optional<Ciphertext> own_;
    };

    Lease acquire() {
        for (Slot& slot : slots_) {
            if (slot.busy.exchange(true, std::memory_order_acquire))
                continue;
            // A preparation that fails (it may allocate) gives the slot back: kept busy, it would be lost to
            // every later call of the evaluator.
            try {
                if (slot.object)
                    detail::makeFresh(*slot.object, context_);
                else
                    slot.object.emplace(context_, false);
            } catch (...) {
                slot.busy.store(false, std::memory_order_release);
                throw;
            }
            return Lease(&slot);
        }
        return Lease(context_);
    }

private:
    static constexpr std::size_t kKept = 8;
    const Context context_;
    std::array<Slot, kKept> slots_;
};

} // namespace detail
} // namespace Morvane
