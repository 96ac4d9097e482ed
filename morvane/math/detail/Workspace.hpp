#pragma once

// Library-internal: the working ciphertexts of one math call, whose storage the thread keeps for its next call.

#if !defined(MORVANE_LAYER_MATH)
#error "morvane/math/detail/Workspace.hpp is internal to the math layer: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/ThreadKept.hpp"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace Morvane::Math::detail {

// The working ciphertexts of a thread's calls: every one made so far, the first `inUse` of them the current call's,
// and those of the call given back, the most recent last.
struct WorkingSet {
    std::deque<Ciphertext> made;
    std::size_t inUse = 0;
    std::vector<Ciphertext*> given;
};

// The working ciphertexts of one call, shared by all of its steps. A step takes one, writes it before reading it
// and gives it back once its value is dead; a later step gets it again instead of a new one, so a call holds only
// as many slot vectors as it has values alive at once.
//
// The workspace owns them: what take() returns stays valid until the workspace ends. Every take() gives a
// ciphertext the bookkeeping of a fresh Ciphertext(context, false), so one may hold anything in between (a copy of
// a caller's ciphertext too): only its slot values are left from before, and the step writes them first.
//
// The thread keeps them from one call to the next: freed at the end of every call, they would let the allocator
// hand the top of its heap back to the system, and the next call would fault them in anew. What is kept is their
// storage: between calls they hold no context, and slot vectors longer than kKeptSlotsLimit are freed when the call
// ends. A call takes the kept ones first and adds to them only when it holds more at once, so the thread keeps
// those of its largest call; they are freed when the thread ends. A workspace made while another one of the thread
// is alive (a math call in a signal handler that an interrupt poll runs) has ciphertexts of its own, freed with it.
class Workspace {
public:
    explicit Workspace(const Context& context) : context_(context), set_(claimThreadSet()) {
        if (set_ == nullptr)
            set_ = &own_.emplace();
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    ~Workspace() {
        if (own_)
            return;
        for (std::size_t i = 0; i < set_->inUse; ++i) {
            CiphertextImpl& impl = set_->made[i].impl();
            impl.context.reset();
            if (!Morvane::detail::keptBetweenCalls(impl.poly.message.slots()))
                std::vector<Complex>().swap(impl.poly.message.slots());
        }
        set_->inUse = 0;
        set_->given.clear();
        Kept::get()->held = false;
    }

    // The most recently given back one, or one the call has not used yet, kept or new.
    Ciphertext& take() {
        WorkingSet& set = *set_;
        if (!set.given.empty()) {
            Ciphertext& ctxt = *set.given.back();
            Morvane::detail::makeFresh(ctxt, context_);
            set.given.pop_back();
            return ctxt;
        }
        if (set.inUse == set.made.size())
            set.made.emplace_back(context_, false);
        else
            Morvane::detail::makeFresh(set.made[set.inUse], context_);
        return set.made[set.inUse++];
    }

    // A taken one with zero slots: as fresh as a new one, for a value read before anything writes it.
    Ciphertext& zeros() {
        Ciphertext& ctxt = take();
        std::fill(ctxt.message().begin(), ctxt.message().end(), Complex());
        return ctxt;
    }

    // A new ciphertext of the context, never a working one: for a value the call returns.
    Ciphertext fresh() const { return Ciphertext(context_, false); }

    // `ctxt`, taken from this workspace, must not be used afterwards.
    void give(Ciphertext& ctxt) { set_->given.push_back(&ctxt); }

    // res = std::move(value), where value was taken from this workspace and is not used afterwards: the slot
    // vector res had stays with the workspace instead of being freed.
    static void deliver(Ciphertext& res, Ciphertext& value) noexcept {
        std::vector<Complex> old(std::move(res.message().slots()));
        res = std::move(value);
        value.message().slots() = std::move(old);
    }

    // A new ciphertext holding value, taken from this workspace: for a call that returns its result.
    Ciphertext handOut(Ciphertext& value) const {
        Ciphertext res = fresh();
        deliver(res, value);
        return res;
    }

private:
    struct ThreadSet {
        WorkingSet set;
        bool held = false;
    };
    using Kept = Morvane::detail::ThreadKept<ThreadSet, Workspace>;

    // The thread's set, unless a live workspace of the thread holds it or the thread is ending past it.
    static WorkingSet* claimThreadSet() {
        ThreadSet* kept = Kept::get();
        if (kept == nullptr || kept->held)
            return nullptr;
        kept->held = true;
        return &kept->set;
    }

    const Context& context_;
    WorkingSet* set_;
    std::optional<WorkingSet> own_;
};

} // namespace Morvane::Math::detail
