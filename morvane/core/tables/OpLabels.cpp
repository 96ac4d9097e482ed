#include "morvane/core/tables/OpLabels.hpp"
#include "morvane/core/tables/NeverDestroyed.hpp"
#include "morvane/core/tables/OpUsageNames.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace Morvane {

namespace {

// The rows of the table in order, each given once by its constant; the GPU rows follow from the evaluator's.
constexpr HistoryLabel kDataLabels[] = {
    labels::savePlaintext,
    labels::saveCiphertext,
    labels::loadPlaintext,
    labels::loadCiphertext,
    labels::encode,
    labels::decode,
    labels::encryptFromPlaintextBySecretKey,
    labels::encryptFromPlaintextByPublicKey,
    labels::decryptToPlaintext,
    labels::plaintextToDevice,
    labels::plaintextToHost,
    labels::ciphertextToDevice,
    labels::ciphertextToHost,
};

constexpr OpLabel kEvaluatorLabels[] = {
    labels::negate,
    labels::addConstant,
    labels::addMessage,
    labels::addPlaintext,
    labels::addCiphertext,
    labels::multImagUnit,
    labels::multInteger,
    labels::multConstant,
    labels::multMessage,
    labels::multPlaintext,
    labels::multCiphertext,
    labels::multConstantWithoutRescale,
    labels::multPlaintextWithoutRescale,
    labels::multCiphertextWithoutRescale,
    labels::rotate,
    labels::conjugate,
    labels::tensor,
    labels::relinearize,
    labels::rescale,
    labels::inverseRescale,
    labels::levelDown,
    labels::bootstrap,
    labels::bootstrapExtended,
};

constexpr HistoryLabel kKeyLabels[] = {
    labels::generateEncryptionKey,  labels::generateMultiplicationKey,
    labels::generateConjugationKey, labels::generateRotationKey,
    labels::generateSparseKey,      labels::generateHomEvaluator,
    labels::saveEncryptionKey,      labels::saveMultiplicationKey,
    labels::saveRotationKey,        labels::saveConjugationKey,
    labels::saveSparseKey,          labels::loadEncryptionKey,
    labels::loadMultiplicationKey,  labels::loadRotationKey,
    labels::loadConjugationKey,     labels::loadSparseKey,
};

constexpr HistoryLabel kUnlistedLabels[] = {labels::encryptBySecretKey, labels::encryptByPublicKey, labels::decrypt};

// Each list holds consecutive rows from `first`, so that the constants and the table cannot disagree.
template <std::size_t N>
constexpr bool rowsFrom(const HistoryLabel (&list)[N], std::size_t first) {
    for (std::size_t i = 0; i < N; ++i)
        if (list[i].index != first + i)
            return false;
    return true;
}

template <std::size_t N>
constexpr bool rowsFrom(const OpLabel (&list)[N], std::size_t first) {
    for (std::size_t i = 0; i < N; ++i)
        if (list[i].cpu.index != first + i || list[i].gpuIndex != first + i + labels::kEvaluatorLabelCount)
            return false;
    return true;
}

static_assert(rowsFrom(kDataLabels, 0) && std::size(kDataLabels) == labels::kEvaluatorBegin);
static_assert(rowsFrom(kEvaluatorLabels, labels::kEvaluatorBegin) &&
              std::size(kEvaluatorLabels) == labels::kEvaluatorLabelCount);
static_assert(rowsFrom(kKeyLabels, labels::kKeyBegin) &&
              std::size(kKeyLabels) == labels::kUnlistedBegin - labels::kKeyBegin);
static_assert(rowsFrom(kUnlistedLabels, labels::kUnlistedBegin) &&
              std::size(kUnlistedLabels) == labels::kLabelCount - labels::kUnlistedBegin);

std::array<std::string, labels::kLabelCount> makeTexts() {
    std::array<std::string, labels::kLabelCount> texts;
    for (const HistoryLabel& label : kDataLabels)
        texts[label.index] = label.text;
    for (const OpLabel& label : kEvaluatorLabels) {
        texts[label.cpu.index] = label.cpu.text;
        texts[label.gpuIndex] = std::string(label.cpu.text) + labels::kGpuSuffix;
    }
    for (const HistoryLabel& label : kKeyLabels)
        texts[label.index] = label.text;
    for (const HistoryLabel& label : kUnlistedLabels)
        texts[label.index] = label.text;
    return texts;
}

const std::array<std::string, labels::kLabelCount>& texts() {
    static const detail::NeverDestroyed<std::array<std::string, labels::kLabelCount>> all(makeTexts());
    return *all;
}

std::vector<std::string> rows(std::size_t first, std::size_t end) {
    const auto& all = texts();
    return std::vector<std::string>(all.begin() + first, all.begin() + end);
}

using UsageNames = std::map<std::string, std::vector<std::string>>;

const UsageNames& usageNames() {
    static const detail::NeverDestroyed<UsageNames> names(UsageNames{
        {"eval", rows(0, labels::kKeyBegin)},
        {"key", rows(labels::kKeyBegin, labels::kUnlistedBegin)},
    });
    return *names;
}

} // namespace

const std::string& labels::text(std::size_t index) { return texts()[index]; }

std::size_t labels::rowOf(const std::string& label) {
    // The rows sorted by text once, so that a lookup is a binary search.
    using ByText = std::vector<std::pair<std::string_view, std::size_t>>;
    static const detail::NeverDestroyed<ByText> byText([] {
        const auto& all = texts();
        ByText sorted;
        for (std::size_t i = 0; i < labels::kLabelCount; ++i)
            sorted.emplace_back(all[i], i);
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }());
    const ByText& sorted = *byText;
    const auto it = std::lower_bound(sorted.begin(), sorted.end(), std::pair<std::string_view, std::size_t>(label, 0));
    return it != sorted.end() && it->first == label ? it->second : labels::kLabelCount;
}

const std::map<std::string, std::vector<std::string>>& opUsageNames = usageNames();

} // namespace Morvane
