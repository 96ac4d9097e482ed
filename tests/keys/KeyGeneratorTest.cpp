#include "morvane/core/Context.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/keys/KeyGenerator.hpp"
#include "morvane/keys/KeyPack.hpp"
#include "tests/keys/KeyTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace Morvane;
namespace fs = std::filesystem;
using keytest::filesIn;

namespace {

using History = std::map<std::string, u64>;

constexpr const char* kWrongIndex = "Wrong rotation index";
constexpr const char* kNoSparse =
    "Key Generator is not constructed for the parameter supporting sparse secret encapsulation";

// The rotation indices held by a pack, ascending.
std::vector<u64> rotIndices(const KeyPack& pack) {
    std::vector<u64> out;
    for (const auto& entry : pack.getImpl()->peekRotKeys())
        out.push_back(entry.first);
    return out;
}

// Runs `f` on a running stopwatch and returns what it added.
u64 costOf(const Context& ctx, const std::function<void()>& f) {
    ctx->startStopWatch();
    f();
    return ctx->getDuration();
}

} // namespace

// ---------------------------------------------------------------------------------------------------------------
// Construction

TEST(KeyGeneratorTest, ConstructorChecksRunInOrder) {
    const Context fgb = makeContext(ParameterPreset::FGb);
    const Context fgbOther = makeContext(ParameterPreset::FGb);
    const Context fga = makeContext(ParameterPreset::FGa);
    const Context fgd = makeContext(ParameterPreset::FGd);
    const Context sgd0 = makeContext(ParameterPreset::SGd0);
    const Context custom = keytest::smallContext();
    const Context customOther = makeContext(7, 6, 40, 60, 60, 3);

    constexpr const char* kMismatch = "[KeyGenerator] context and secret key don't match";
    constexpr const char* kUnsupported = "[KeyGenerator] context does not support sparse secret encapsulation";
    constexpr const char* kSparseMismatch = "[KeyGenerator] parameter of context and context_sparse does not match";
    constexpr const char* kOk = "<no exception>";

    struct Case {
        const char* name;
        Context context;
        const Context* sparse; // null: the forms without a sparse context
        Context skContext;
        const char* expected;
    };
    const Case cases[] = {
        {"same preset, other object", fgb, nullptr, fgbOther, kOk},
        {"secret key of another preset", fgb, nullptr, fga, kMismatch},
        {"custom key for a custom context of other values", custom, nullptr, customOther, kOk},
        {"preset key for a custom context", custom, nullptr, fgb, kMismatch},
        {"sparse: secret key checked first", fgb, &fgb, fga, kMismatch},
        {"sparse: unsupported before preset match", fgb, &fgb, fgb, kUnsupported},
        {"sparse: companion preset mismatch", fgd, &fgb, fgd, kSparseMismatch},
        {"sparse: key mismatch wins over companion", fgd, &fgb, fga, kMismatch},
        {"sparse: companion given as main context", fgd, &fgd, fgd, kSparseMismatch},
        {"sparse: matching", fgd, &sgd0, fgd, kOk},
    };
    for (const Case& c : cases) {
        const SecretKey sk(c.skContext);
        const KeyPack pack(c.context);
        const History before = c.context->getOpHistory();
        std::vector<std::function<void()>> forms;
        if (c.sparse == nullptr) {
            forms.push_back([&] { (void)KeyGenerator(c.context, sk); });
            forms.push_back([&] { (void)KeyGenerator(c.context, sk, pack); });
        } else {
            forms.push_back([&] { (void)KeyGenerator(c.context, *c.sparse, sk); });
            forms.push_back([&] { (void)KeyGenerator(c.context, *c.sparse, sk, pack); });
        }
        for (std::size_t form = 0; form < forms.size(); ++form)
            EXPECT_EQ(thrownMessage(forms[form]), c.expected) << c.name << ", form " << form;
        EXPECT_EQ(c.context->getOpHistory(), before) << c.name;
        EXPECT_FALSE(pack.isEncKeyLoaded()) << c.name;
    }
}

TEST(KeyGeneratorTest, GeneratesIntoTheGivenPackAndCopiesShareIt) {
    const Context ctx = makeContext(ParameterPreset::FX);
    const KeyPack pack(ctx);
    const KeyGenerator keygen(ctx, SecretKey(ctx), pack);
    const KeyGenerator copy = keygen;
    copy.genMultiplicationKey();
    EXPECT_TRUE(pack.isMultKeyLoaded());
    EXPECT_EQ(keygen.getKeyPack().getImpl(), pack.getImpl());
    EXPECT_EQ(keygen.getKeyPack().getNumSlots(), 32u);
}

// ---------------------------------------------------------------------------------------------------------------
// Single keys: record, label and cost from the generator context's row

TEST(KeyGeneratorTest, EveryGenerationCountsItsLabelAndTicksItsCost) {
    struct Preset {
        const char* name;
        Context context;
        u64 enc, mult, conj, rot;
    };
    const Preset presets[] = {
        {"FGb", makeContext(ParameterPreset::FGb), 10, 59, 108, 2247},
        {"FX", makeContext(ParameterPreset::FX), 0, 5, 3, 45},
        {"ST7", makeContext(ParameterPreset::ST7), 6, 20, 9, 230},
        // Custom parameters have no cost row: generation is free.
        {"custom", keytest::smallContext(), 0, 0, 0, 0},
    };
    for (const Preset& p : presets) {
        const Context& ctx = p.context;
        const u64 id = ctx->parameterId;
        const u64 n = ctx->parameter.fullSlots;
        struct Op {
            const char* label;
            u64 cost;
            std::function<void(const KeyGenerator&)> run;
            std::function<void(const KeyPack&)> check;
        };
        const Op ops[] = {
            {"Generate encryption key", p.enc, [](const KeyGenerator& g) { g.genEncryptionKey(); },
             [&](const KeyPack& pack) {
                 ASSERT_TRUE(pack.isEncKeyLoaded());
                 EXPECT_EQ(pack.getEncKey()->parameterId, id);
             }},
            {"Generate multiplication key", p.mult, [](const KeyGenerator& g) { g.genMultiplicationKey(); },
             [&](const KeyPack& pack) {
                 ASSERT_TRUE(pack.isMultKeyLoaded());
                 EXPECT_EQ(pack.getMultKey()->type, 'm');
                 EXPECT_EQ(pack.getMultKey()->parameterId, id);
             }},
            {"Generate conjugation key", p.conj, [](const KeyGenerator& g) { g.genConjugationKey(); },
             [&](const KeyPack& pack) {
                 ASSERT_TRUE(pack.isConjKeyLoaded());
                 EXPECT_EQ(pack.getConjKey()->type, 'c');
             }},
            {"Generate rotation key", p.rot, [&](const KeyGenerator& g) { g.genLeftRotationKey(n - 1); },
             [&](const KeyPack& pack) {
                 EXPECT_EQ(rotIndices(pack), std::vector<u64>{n - 1});
                 const auto key = pack.getLeftRotKey(n - 1);
                 EXPECT_EQ(key->type, 'r');
                 EXPECT_EQ(key->rot_idx, n - 1);
                 EXPECT_EQ(key->parameterId, id);
             }},
            // A right key is the left key n - r, counted and costed as such.
            {"Generate rotation key", p.rot, [](const KeyGenerator& g) { g.genRightRotationKey(1); },
             [&](const KeyPack& pack) { EXPECT_EQ(rotIndices(pack), std::vector<u64>{n - 1}); }},
        };
        for (const Op& op : ops) {
            const KeyGenerator keygen(ctx, SecretKey(ctx));
            ctx->clearOpHistory();
            EXPECT_EQ(costOf(ctx, [&] { op.run(keygen); }), op.cost) << p.name << ": " << op.label;
            EXPECT_EQ(ctx->getOpHistory(), (History{{op.label, 1}})) << p.name;
            op.check(keygen.getKeyPack());
        }
    }
}

TEST(KeyGeneratorTest, SparseSecretEncapsulationKeyNeedsTheSparseContext) {
    const Context fgd = makeContext(ParameterPreset::FGd);
    const Context sgd0 = makeContext(ParameterPreset::SGd0);

    const KeyGenerator plain(fgd, SecretKey(fgd));
    EXPECT_EQ(costOf(fgd, [&] { EXPECT_EQ(thrownMessage([&] { plain.genSparseSecretEncapsulationKey(); }), kNoSparse); }),
              0u);
    EXPECT_TRUE(fgd->getOpHistory().empty());
    EXPECT_FALSE(plain.getKeyPack().isSparseSecretEncapsulationKeyLoaded());

    KeyGenerator sparse(fgd, sgd0, SecretKey(fgd));
    EXPECT_EQ(costOf(fgd, [&] { sparse.genSparseSecretEncapsulationKey(); }), 51u);
    EXPECT_EQ(fgd->getOpHistory(), (History{{"Generate SSE key", 1}}));
    const auto key = sparse.getKeyPack().getImpl()->peekSparseSecretEncapsulationKey();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->getDTSPart().parameterId, sgd0->parameterId);
    EXPECT_EQ(key->getSTDPart().parameterId, fgd->parameterId);
    EXPECT_EQ(key->getDTSPart().type, 's');
    EXPECT_TRUE(sgd0->getOpHistory().empty());

    // The fresh pack of a flush has no sparse context, but the generator keeps its own.
    sparse.flush();
    sparse.genSparseSecretEncapsulationKey();
    EXPECT_TRUE(sparse.getKeyPack().isSparseSecretEncapsulationKeyLoaded());
}

TEST(KeyGeneratorTest, RegenerationReplacesAndCountsAgain) {
    const Context ctx = makeContext(ParameterPreset::FX);
    const KeyGenerator keygen(ctx, SecretKey(ctx));
    const KeyPack pack = keygen.getKeyPack();
    keygen.genConjugationKey();
    keygen.genLeftRotationKey(5);
    const auto conj = pack.getConjKey();
    const auto rot = pack.getLeftRotKey(5);
    EXPECT_EQ(costOf(ctx, [&] {
                  keygen.genConjugationKey();
                  keygen.genLeftRotationKey(5);
              }),
              3u + 45u);
    EXPECT_NE(pack.getConjKey(), conj);
    EXPECT_NE(pack.getLeftRotKey(5), rot);
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Generate conjugation key", 2}, {"Generate rotation key", 2}}));
}

TEST(KeyGeneratorTest, StoppedStopwatchStillStoresAndCounts) {
    const Context ctx = makeContext(ParameterPreset::FGb);
    const KeyGenerator keygen(ctx, SecretKey(ctx));
    ctx->startStopWatch();
    ctx->stopStopWatch();
    keygen.genEncryptionKey();
    keygen.genLeftRotationKey(3);
    EXPECT_EQ(ctx->getDuration(), 0u);
    EXPECT_TRUE(keygen.getKeyPack().isEncKeyLoaded());
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Generate encryption key", 1}, {"Generate rotation key", 1}}));
}

TEST(KeyGeneratorTest, RotationIndexOutOfRangeIsRefusedBeforeAnything) {
    const Context ctx = makeContext(ParameterPreset::FX); // n = 32
    const KeyGenerator keygen(ctx, SecretKey(ctx));
    const std::function<void()> refused[] = {
        [&] { keygen.genLeftRotationKey(0); },  [&] { keygen.genLeftRotationKey(32); },
        [&] { keygen.genLeftRotationKey(~0ul); }, [&] { keygen.genRightRotationKey(0); },
        [&] { keygen.genRightRotationKey(32); },
    };
    EXPECT_EQ(costOf(ctx,
                     [&] {
                         for (const auto& f : refused)
                             EXPECT_EQ(thrownMessage(f), kWrongIndex);
                     }),
              0u);
    EXPECT_TRUE(ctx->getOpHistory().empty());
    EXPECT_TRUE(rotIndices(keygen.getKeyPack()).empty());
    keygen.genLeftRotationKey(31);
    keygen.genRightRotationKey(31);
    EXPECT_EQ(rotIndices(keygen.getKeyPack()), (std::vector<u64>{1, 31}));
}

// ---------------------------------------------------------------------------------------------------------------
// Keys made only if absent

TEST(KeyGeneratorTest, GenerateIfAbsentReducesAndLooksAtMemoryOnly) {
    const Context ctx = makeContext(ParameterPreset::FX); // n = 32
    keytest::KeyDir dir;
    { std::ofstream(dir.file("RotKey3.bin")) << "not a key"; }
    const KeyPack pack(ctx, dir.path());
    const KeyGeneratorImpl impl(ctx, SecretKey(ctx), pack);

    const u64 cost = costOf(ctx, [&] {
        impl.genRotationKeyIfNotExist(0);
        impl.genRotationKeyIfNotExist(32);  // reduces to 0
        impl.genRotationKeyIfNotExist(-4);  // left 28
        impl.genRotationKeyIfNotExist(35);  // left 3, made although its file exists
        impl.genRotationKeyIfNotExist(-29); // left 3 again: present
        impl.genRotationKeyIfNotExist(28);
    });
    EXPECT_EQ(rotIndices(pack), (std::vector<u64>{3, 28}));
    EXPECT_EQ(pack.getLeftRotKey(3)->type, 'r'); // generated, not read from the bad file
    EXPECT_EQ(cost, 2u * 45u);
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Generate rotation key", 2}}));
}

TEST(KeyGeneratorTest, BootstrapKeysAreTheReducedIndexSetEachMadeOnce) {
    const Context ctx = makeContext(ParameterPreset::FGb); // n = 32768
    const KeyGenerator keygen(ctx, SecretKey(ctx));
    keygen.genLeftRotationKey(8); // present keys cost nothing more
    ctx->clearOpHistory();

    // log_slots 3: -4, 1, 2, 3, 8, 16, ..., 16384.
    std::vector<u64> expected = {1, 2, 3};
    for (u64 p = 8; p < 32768; p <<= 1)
        expected.push_back(p);
    expected.push_back(32768 - 4);
    EXPECT_EQ(costOf(ctx, [&] { keygen.genRotKeysForBootstrap(3); }), 15u * 2247u);
    EXPECT_EQ(rotIndices(keygen.getKeyPack()), expected);
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Generate rotation key", 15}}));

    EXPECT_EQ(costOf(ctx, [&] { keygen.genRotKeysForBootstrap(3); }), 0u);
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Generate rotation key", 15}}));

    // log_slots 14 needs 35 indices, 14 of which are held already.
    EXPECT_EQ(costOf(ctx, [&] { keygen.genRotKeysForBootstrap(14); }), 21u * 2247u);
    EXPECT_EQ(rotIndices(keygen.getKeyPack()).size(), 16u + 21u);
    EXPECT_TRUE(keygen.getKeyPack().isLeftRotKeyLoaded(32768 - 8192));
}

TEST(KeyGeneratorTest, BootstrapKeysRefusedWithoutBootstrapping) {
    for (const Context& ctx : {makeContext(ParameterPreset::ST19), keytest::smallContext()}) {
        const KeyGenerator keygen(ctx, SecretKey(ctx));
        EXPECT_EQ(thrownMessage([&] { keygen.genRotKeysForBootstrap(3); }),
                  "The parameter does not support bootstrap.");
        EXPECT_TRUE(rotIndices(keygen.getKeyPack()).empty());
        EXPECT_TRUE(ctx->getOpHistory().empty());
    }
}

TEST(KeyGeneratorTest, BundleMakesPowerOfTwoKeysBothWaysPlusOneExtraCost) {
    const Context ctx = makeContext(ParameterPreset::FX); // n = 32, 45 ms per rotation key
    const KeyGenerator keygen(ctx, SecretKey(ctx));
    EXPECT_EQ(costOf(ctx, [&] { keygen.genRotationKeyBundle(); }), 10u * 45u);
    EXPECT_EQ(rotIndices(keygen.getKeyPack()), (std::vector<u64>{1, 2, 4, 8, 16, 24, 28, 30, 31}));
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Generate rotation key", 9}}));

    // Again at once: no key, no count, the extra cost only.
    EXPECT_EQ(costOf(ctx, [&] { keygen.genRotationKeyBundle(); }), 45u);
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Generate rotation key", 9}}));

    const Context custom = keytest::smallContext();
    const KeyGenerator customGen(custom, SecretKey(custom));
    EXPECT_EQ(costOf(custom, [&] { customGen.genRotationKeyBundle(); }), 0u);
    EXPECT_EQ(custom->getOpHistory(), (History{{"Generate rotation key", 9}}));
}

TEST(KeyGeneratorTest, CommonKeysRunInOrderWithTheirOwnCosts) {
    const Context ctx = makeContext(ParameterPreset::FGb); // n = 2^15
    const KeyGenerator keygen(ctx, SecretKey(ctx));
    EXPECT_EQ(costOf(ctx, [&] { keygen.genCommonKeys(); }), 10u + 59u + 108u + 30u * 2247u);
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Generate conjugation key", 1},
                                            {"Generate encryption key", 1},
                                            {"Generate multiplication key", 1},
                                            {"Generate rotation key", 29}}));
    const KeyPack pack = keygen.getKeyPack();
    EXPECT_TRUE(pack.isEncKeyLoaded() && pack.isMultKeyLoaded() && pack.isConjKeyLoaded());
}

// ---------------------------------------------------------------------------------------------------------------
// Flush

TEST(KeyGeneratorTest, FlushSwapsInAnEmptyPackAndLeavesTheOldOneIntact) {
    const Context ctx = makeContext(ParameterPreset::FX);
    KeyGenerator keygen(ctx, SecretKey(ctx));
    const KeyGenerator copy = keygen;
    keygen.genEncryptionKey();
    keygen.genLeftRotationKey(7);
    const KeyPack before = keygen.getKeyPack();
    ctx->clearOpHistory();

    EXPECT_EQ(costOf(ctx, [&] { keygen.flush(); }), 0u);
    EXPECT_TRUE(ctx->getOpHistory().empty());
    const KeyPack after = keygen.getKeyPack();
    EXPECT_NE(after.getImpl(), before.getImpl());
    EXPECT_FALSE(after.isEncKeyLoaded());
    EXPECT_TRUE(rotIndices(after).empty());
    EXPECT_TRUE(before.isEncKeyLoaded());
    EXPECT_EQ(rotIndices(before), std::vector<u64>{7});

    // Copies share one pack also after the flush: keys made through either land in it.
    EXPECT_EQ(copy.getKeyPack().getImpl(), after.getImpl());
    copy.genMultiplicationKey();
    EXPECT_TRUE(after.isMultKeyLoaded());
    EXPECT_FALSE(before.isMultKeyLoaded());
}

// ---------------------------------------------------------------------------------------------------------------
// Key directory

TEST(KeyGeneratorTest, SaveCreatesTheDirectoryAndAFreshPackLoadsLazilyOnce) {
    const Context ctx = makeContext(ParameterPreset::FX);
    const KeyGenerator keygen(ctx, SecretKey(ctx));
    keygen.genCommonKeys();
    ctx->clearOpHistory();

    datatest::TempDir root;
    const std::string dir = root.file("a/b/keys");
    EXPECT_EQ(costOf(ctx, [&] { keygen.save(dir); }), 0u);
    EXPECT_TRUE(fs::is_directory(dir + "/PK"));
    std::set<std::string> expected = {"EncKey.bin", "MultKey.bin", "ConjKey.bin"};
    for (const u64 i : {1, 2, 4, 8, 16, 24, 28, 30, 31})
        expected.insert("RotKey" + std::to_string(i) + ".bin");
    EXPECT_EQ(filesIn(dir + "/PK"), expected);
    EXPECT_EQ(fs::file_size(dir + "/PK/EncKey.bin"), 12u);
    EXPECT_EQ(fs::file_size(dir + "/PK/RotKey31.bin"), 21u);
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Save conjugation key", 1},
                                            {"Save encryption key", 1},
                                            {"Save multiplication key", 1},
                                            {"Save rotation key", 9}}));

    // Saving again over the existing directory overwrites and counts again.
    keygen.save(dir);
    EXPECT_EQ(ctx->getOpHistory().at("Save rotation key"), 18u);

    ctx->clearOpHistory();
    KeyPack fresh(ctx, dir);
    EXPECT_FALSE(fresh.isMultKeyLoaded());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(fresh.getMultKey());
        ASSERT_TRUE(fresh.getLeftRotKey(31 + 32));
        fresh.loadEncKey();
    }
    EXPECT_EQ(fresh.getLeftRotKey(31)->rot_idx, 31u);
    EXPECT_EQ(fresh.getEncKey()->parameterId, ctx->parameterId);
    EXPECT_FALSE(fresh.getLeftRotKey(3)); // no such file
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Load encryption key", 1},
                                            {"Load multiplication key", 1},
                                            {"Load rotation key", 1}}));
}

TEST(KeyGeneratorTest, SaveWritesTheSparseKeyForAPackWithoutSparseContext) {
    const Context fgd = makeContext(ParameterPreset::FGd);
    const Context sgd0 = makeContext(ParameterPreset::SGd0);
    const KeyGenerator keygen(fgd, sgd0, SecretKey(fgd));
    keygen.genSparseSecretEncapsulationKey();
    datatest::TempDir root;
    const std::string dir = root.file("keys");
    keygen.save(dir);
    EXPECT_EQ(filesIn(dir + "/PK"), std::set<std::string>{"SparseSecretEncapsulationKey.bin"});
    EXPECT_EQ(fs::file_size(dir + "/PK/SparseSecretEncapsulationKey.bin"), 42u);

    const KeyPack fresh(fgd, dir); // as an evaluator made from a key directory has it
    const auto key = fresh.getSparseSecretEncapsulationKey();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->getDTSPart().parameterId, sgd0->parameterId);
    EXPECT_EQ(key->getSTDPart().parameterId, fgd->parameterId);
}

TEST(KeyGeneratorTest, SaveRefusesAnEmptyPathBeforeCreatingAnything) {
    const Context ctx = makeContext(ParameterPreset::FX);
    const KeyGenerator keygen(ctx, SecretKey(ctx));
    keygen.genEncryptionKey();
    ctx->clearOpHistory();
    const bool rootPkExisted = fs::exists("/PK");
    EXPECT_EQ(thrownMessage([&] { keygen.save(""); }), "Cannot find key_dir_path.");
    EXPECT_EQ(fs::exists("/PK"), rootPkExisted);
    EXPECT_TRUE(ctx->getOpHistory().empty());
}

TEST(KeyGeneratorTest, SaveWhereThePKDirectoryCannotBeMadeWritesNothing) {
    const Context ctx = makeContext(ParameterPreset::FX);
    const KeyGenerator keygen(ctx, SecretKey(ctx));
    keygen.genEncryptionKey();
    ctx->clearOpHistory();
    datatest::TempDir root;
    const std::string dir = root.file("keys");
    fs::create_directories(dir);
    { std::ofstream(dir + "/PK") << "a file, not a directory"; }
    EXPECT_THROW(keygen.save(dir), fs::filesystem_error);
    EXPECT_TRUE(ctx->getOpHistory().empty());
    EXPECT_TRUE(fs::is_regular_file(dir + "/PK"));
    EXPECT_FALSE(keygen.getKeyPack().getImpl()->isKeyDirPathSet());
}

// ---------------------------------------------------------------------------------------------------------------
// Threads

TEST(KeyGeneratorTest, ConcurrentGenerateIfAbsentMakesEachKeyOnce) {
    const Context ctx = makeContext(ParameterPreset::FX); // n = 32
    keytest::KeyDir dir;
    const KeyGenerator seed(ctx, SecretKey(ctx));
    seed.genLeftRotationKey(5);
    seed.genLeftRotationKey(6);
    seed.save(dir.path());
    ctx->clearOpHistory();

    // One pack with a key directory: bundles, bootstrap keys and lazy loads of the same and different
    // indices race on it.
    const KeyPack pack(ctx, dir.path());
    const KeyGenerator keygen(ctx, SecretKey(ctx), pack);
    constexpr int kThreads = 8;
    constexpr int kRounds = 20;
    // Each thread also makes a key of its own, outside the bundle and bootstrap sets.
    constexpr unsigned long own[kThreads] = {9, 10, 11, 12, 13, 14, 15, 17};
    ctx->startStopWatch();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                switch ((t + r) % 4) {
                case 0: keygen.genRotationKeyBundle(); break;
                case 1: keygen.genRotKeysForBootstrap(3); break;
                case 2: KeyPack(pack).loadLeftRotKey(5); break;
                default: KeyPack(pack).loadLeftRotKey(6 + 32); break;
                }
                keygen.genLeftRotationKey(own[t]);
            }
        });
    for (auto& th : threads)
        th.join();
    const u64 duration = ctx->getDuration();

    // Bundle {1,2,4,8,16,24,28,30,31} and bootstrap {1,2,3,8,16,28}: 10 distinct keys made once each.
    const History history = ctx->getOpHistory();
    EXPECT_EQ(history.at("Generate rotation key"), 10u + kThreads * kRounds);
    EXPECT_EQ(history.at("Load rotation key"), 2u);
    const u64 bundles = kThreads * kRounds / 4;
    EXPECT_EQ(duration, (10u + kThreads * kRounds + bundles) * 45u);
    EXPECT_EQ(rotIndices(pack),
              (std::vector<u64>{1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 24, 28, 30, 31}));
}

TEST(KeyGeneratorTest, ConcurrentGenerationAndFlushCountExactly) {
    const Context ctx = makeContext(ParameterPreset::FGb);
    KeyGenerator keygen(ctx, SecretKey(ctx));
    const KeyGenerator shared = keygen;
    constexpr int kThreads = 6;
    constexpr int kRounds = 50;
    std::atomic<bool> done{false};
    ctx->startStopWatch();
    std::thread flusher([&] {
        while (!done.load()) {
            keygen.flush();
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                shared.genEncryptionKey();
                shared.genConjugationKey();
                (void)shared.getKeyPack().isEncKeyLoaded();
            }
        });
    for (auto& th : threads)
        th.join();
    done.store(true);
    flusher.join();
    EXPECT_EQ(ctx->getDuration(), u64{kThreads} * kRounds * (10u + 108u));
    EXPECT_EQ(ctx->getOpHistory(), (History{{"Generate conjugation key", kThreads * kRounds},
                                            {"Generate encryption key", kThreads * kRounds}}));
}
