#include "morvane/core/Serialize.hpp"
#include "morvane/keys/KeyPack.hpp"
#include "tests/keys/KeyTestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Morvane;
using keytest::KeyDir;

namespace {

constexpr u64 kSlots = 32;

void writeAllKeys(const KeyDir& dir, const Context& ctx) {
    EncryptionKey(ctx).save(dir.file("EncKey.bin"));
    Serialize::save(dir.file("MultKey.bin"), *makeEmptyMultKey(ctx));
    Serialize::save(dir.file("ConjKey.bin"), *makeEmptyConjugationKey(ctx));
    Serialize::save(dir.file("SparseSecretEncapsulationKey.bin"), *makeEmptySparseSecretEncapsulationKey(ctx, ctx));
    for (u64 i = 0; i < kSlots; ++i)
        Serialize::save(dir.file("RotKey" + std::to_string(i) + ".bin"), *makeEmptyRotationKey(ctx, i));
}

// Runs `work(threadIndex)` on `threads` threads released together.
template <typename Work>
void runTogether(int threads, Work&& work) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            ready.fetch_add(1);
            while (!go.load())
                std::this_thread::yield();
            work(t);
        });
    while (ready.load() != threads)
        std::this_thread::yield();
    go.store(true);
    for (auto& thread : pool)
        thread.join();
}

} // namespace

// Threads race for the same keys (every rotation index from every thread, left and right) and for
// different ones, while others move the pack and write it out: each key is read and counted exactly once.
TEST(KeyPackThreadTest, RacingLazyLoadsReadAndCountEachKeyOnce) {
    const Context writer = keytest::smallContext();
    KeyDir dir;
    writeAllKeys(dir, writer);

    for (int round = 0; round < 10; ++round) {
        const Context ctx = keytest::smallContext();
        KeyPack pack(ctx, dir.path());
        std::atomic<int> absent{0};
        runTogether(12, [&](int t) {
            for (u64 step = 0; step < 2 * kSlots; ++step) {
                const u64 idx = (step + static_cast<u64>(t) * 5) % (2 * kSlots);
                if (t % 3 == 0)
                    pack.loadRightRotKey(idx);
                else if (!pack.getLeftRotKey(idx))
                    absent.fetch_add(1);
                if (!pack.getMultKey() || !pack.getConjKey() || !pack.getEncKey() ||
                    !pack.getSparseSecretEncapsulationKey())
                    absent.fetch_add(1);
                pack.isLeftRotKeyLoaded(idx);
                if (t == 1 && step % 8 == 0)
                    pack.to(Device(DeviceType::GPU, static_cast<int>(step)));
                if (t == 2 && step % 16 == 0) {
                    std::ostringstream out;
                    pack.save(out);
                }
            }
        });
        EXPECT_EQ(absent.load(), 0);
        EXPECT_EQ(getOpHistory(ctx), (std::map<std::string, u64>{{"Load SSE key", 1},
                                                                 {"Load conjugation key", 1},
                                                                 {"Load encryption key", 1},
                                                                 {"Load multiplication key", 1},
                                                                 {"Load rotation key", kSlots}}))
            << "round " << round;
        for (u64 i = 0; i < kSlots; ++i) {
            const auto key = pack.getImpl()->peekRotKeys().at(i).second;
            ASSERT_NE(key, nullptr);
            EXPECT_EQ(key->rot_idx, i);
        }
    }
}

// Packs of one context loading in parallel: the shared history adds up exactly.
TEST(KeyPackThreadTest, PacksOfOneContextCountIntoOneHistory) {
    const Context ctx = keytest::smallContext();
    KeyDir dir;
    writeAllKeys(dir, ctx);
    constexpr int kThreads = 8;
    runTogether(kThreads, [&](int) {
        KeyPack pack(ctx, dir.path());
        for (u64 i = 0; i < kSlots; ++i)
            pack.loadLeftRotKey(i);
        pack.loadMultKey();
    });
    EXPECT_EQ(getOpHistory(ctx).at("Load rotation key"), kThreads * kSlots);
    EXPECT_EQ(getOpHistory(ctx).at("Load multiplication key"), static_cast<u64>(kThreads));
}

// Whole-pack loads, stream loads and device moves on one pack at once stay consistent.
TEST(KeyPackThreadTest, WholePackLoadsRaceSafelyWithOtherUsers) {
    const Context ctx = keytest::smallContext();
    KeyPack source(ctx);
    for (u64 i = 1; i < 8; ++i)
        source.getImpl()->setRotKey(i, makeEmptyRotationKey(ctx, i));
    source.getImpl()->setMultKey(makeEmptyMultKey(ctx));
    std::ostringstream out;
    source.save(out);
    const std::string bytes = out.str();

    KeyPack pack(ctx);
    runTogether(8, [&](int t) {
        for (int step = 0; step < 200; ++step) {
            if (t < 3) {
                std::istringstream in(bytes);
                pack.load(in);
            } else if (t < 5) {
                pack.to(Device(DeviceType::GPU, step));
            } else {
                std::istringstream in(keytest::evalRecord(1, 'r', 9).str());
                pack.loadLeftRotKey(9, in);
                pack.getLeftRotKey(static_cast<u64>(step));
                pack.getMultKey();
            }
        }
    });
    const auto rot = pack.getImpl()->peekRotKeys();
    EXPECT_GE(rot.size(), 7u);
    for (const auto& [idx, key] : rot) {
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->rot_idx, idx);
    }
    EXPECT_TRUE(getOpHistory(ctx).empty());
}

// "Is it held" is answered without the leaf lock; it still follows whole-pack loads that add and remove keys
// while other threads ask, and ends as the last load left the slots.
TEST(KeyPackThreadTest, HeldAnswersFollowWholePackLoads) {
    const Context ctx = keytest::smallContext();
    KeyPack full(ctx);
    full.getImpl()->setMultKey(makeEmptyMultKey(ctx));
    full.getImpl()->setRotKey(3, makeEmptyRotationKey(ctx, 3));
    std::ostringstream withKeys;
    full.save(withKeys);
    std::ostringstream withoutKeys;
    KeyPack(ctx).save(withoutKeys);

    KeyPack pack(ctx);
    std::atomic<u64> heldSeen{0};
    runTogether(6, [&](int t) {
        for (int step = 0; step < 300; ++step) {
            if (t < 2) {
                std::istringstream in(((step + t) % 2 == 0 ? withKeys : withoutKeys).str());
                pack.load(in);
            } else if (pack.isMultKeyLoaded() && pack.getImpl()->peekMultKey() != nullptr) {
                heldSeen.fetch_add(pack.isLeftRotKeyLoaded(3) ? 1 : 0);
            }
        }
    });
    std::istringstream last(withoutKeys.str());
    pack.load(last);
    EXPECT_FALSE(pack.isMultKeyLoaded());
    EXPECT_FALSE(pack.isLeftRotKeyLoaded(3));
    std::istringstream again(withKeys.str());
    pack.load(again);
    EXPECT_TRUE(pack.isMultKeyLoaded());
    EXPECT_TRUE(pack.isLeftRotKeyLoaded(3));
    EXPECT_FALSE(pack.isLeftRotKeyLoaded(5));
    EXPECT_TRUE(getOpHistory(ctx).empty());
}
