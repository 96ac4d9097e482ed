#pragma once

// Every label the library counts in a context's operation history: named constants of one fixed table, from
// which the report's label lists are built.

#include <cstddef>
#include <string>

namespace Morvane {

// A row of the fixed label table: its index, which is also the label's counter in every context, and its text.
struct HistoryLabel {
    std::size_t index;
    const char* text;
};

// The label of an evaluator operation, counted by the device type of its result: `cpu` on a CPU device, the
// GPU form (the same text followed by " (GPU)", row `gpuIndex`) on a GPU device.
struct OpLabel {
    HistoryLabel cpu;
    std::size_t gpuIndex;
};

namespace labels {

// The table's rows: the report's "eval" list (data objects, then the evaluator's labels, then their GPU forms),
// its "key" list, then the labels that no list holds.
inline constexpr std::size_t kEvaluatorLabelCount = 23;
inline constexpr std::size_t kEvaluatorBegin = 13;
inline constexpr std::size_t kGpuBegin = kEvaluatorBegin + kEvaluatorLabelCount;
inline constexpr std::size_t kKeyBegin = kGpuBegin + kEvaluatorLabelCount;
inline constexpr std::size_t kUnlistedBegin = kKeyBegin + 16;
inline constexpr std::size_t kLabelCount = kUnlistedBegin + 3;
inline constexpr const char* kGpuSuffix = " (GPU)";

constexpr OpLabel evaluatorLabel(std::size_t index, const char* text) {
    return {{index, text}, index + kEvaluatorLabelCount};
}

inline constexpr HistoryLabel savePlaintext{0, "Save plaintext"};
inline constexpr HistoryLabel saveCiphertext{1, "Save ciphertext"};
inline constexpr HistoryLabel loadPlaintext{2, "Load plaintext"};
inline constexpr HistoryLabel loadCiphertext{3, "Load ciphertext"};
inline constexpr HistoryLabel encode{4, "Encode"};
inline constexpr HistoryLabel decode{5, "Decode"};
inline constexpr HistoryLabel encryptFromPlaintextBySecretKey{6, "Encrypt from ptxt by sk"};
inline constexpr HistoryLabel encryptFromPlaintextByPublicKey{7, "Encrypt from ptxt by pk"};
inline constexpr HistoryLabel decryptToPlaintext{8, "Decrypt to ptxt"};
inline constexpr HistoryLabel plaintextToDevice{9, "To Device (ptxt)"};
inline constexpr HistoryLabel plaintextToHost{10, "To Host (ptxt)"};
inline constexpr HistoryLabel ciphertextToDevice{11, "To Device (ctxt)"};
inline constexpr HistoryLabel ciphertextToHost{12, "To Host (ctxt)"};

inline constexpr OpLabel negate = evaluatorLabel(13, "Negate ctxt");
inline constexpr OpLabel addConstant = evaluatorLabel(14, "ctxt + cnst");
inline constexpr OpLabel addMessage = evaluatorLabel(15, "ctxt + msg");
inline constexpr OpLabel addPlaintext = evaluatorLabel(16, "ctxt + ptxt");
inline constexpr OpLabel addCiphertext = evaluatorLabel(17, "ctxt + ctxt");
inline constexpr OpLabel multImagUnit = evaluatorLabel(18, "ctxt * imag");
inline constexpr OpLabel multInteger = evaluatorLabel(19, "ctxt * int");
inline constexpr OpLabel multConstant = evaluatorLabel(20, "ctxt * cnst");
inline constexpr OpLabel multMessage = evaluatorLabel(21, "ctxt * msg");
inline constexpr OpLabel multPlaintext = evaluatorLabel(22, "ctxt * ptxt");
inline constexpr OpLabel multCiphertext = evaluatorLabel(23, "ctxt * ctxt");
inline constexpr OpLabel multConstantWithoutRescale = evaluatorLabel(24, "ctxt * cnst W/R");
inline constexpr OpLabel multPlaintextWithoutRescale = evaluatorLabel(25, "ctxt * ptxt W/R");
inline constexpr OpLabel multCiphertextWithoutRescale = evaluatorLabel(26, "ctxt * ctxt W/R");
inline constexpr OpLabel rotate = evaluatorLabel(27, "Rotate");
inline constexpr OpLabel conjugate = evaluatorLabel(28, "Conjugate");
inline constexpr OpLabel tensor = evaluatorLabel(29, "Tensor");
inline constexpr OpLabel relinearize = evaluatorLabel(30, "Relinearize");
inline constexpr OpLabel rescale = evaluatorLabel(31, "Rescale");
inline constexpr OpLabel inverseRescale = evaluatorLabel(32, "Inverse rescale");
inline constexpr OpLabel levelDown = evaluatorLabel(33, "Level down");
inline constexpr OpLabel bootstrap = evaluatorLabel(34, "Bootstrap");
inline constexpr OpLabel bootstrapExtended = evaluatorLabel(35, "Bootstrap extended");

inline constexpr HistoryLabel generateEncryptionKey{59, "Generate encryption key"};
inline constexpr HistoryLabel generateMultiplicationKey{60, "Generate multiplication key"};
inline constexpr HistoryLabel generateConjugationKey{61, "Generate conjugation key"};
inline constexpr HistoryLabel generateRotationKey{62, "Generate rotation key"};
inline constexpr HistoryLabel generateSparseKey{63, "Generate SSE key"};
inline constexpr HistoryLabel generateHomEvaluator{64, "Generate homevaluator"};
inline constexpr HistoryLabel saveEncryptionKey{65, "Save encryption key"};
inline constexpr HistoryLabel saveMultiplicationKey{66, "Save multiplication key"};
inline constexpr HistoryLabel saveRotationKey{67, "Save rotation key"};
inline constexpr HistoryLabel saveConjugationKey{68, "Save conjugation key"};
inline constexpr HistoryLabel saveSparseKey{69, "Save SSE key"};
inline constexpr HistoryLabel loadEncryptionKey{70, "Load encryption key"};
inline constexpr HistoryLabel loadMultiplicationKey{71, "Load multiplication key"};
inline constexpr HistoryLabel loadRotationKey{72, "Load rotation key"};
inline constexpr HistoryLabel loadConjugationKey{73, "Load conjugation key"};
inline constexpr HistoryLabel loadSparseKey{74, "Load SSE key"};

// Counted, but in no list of the report.
inline constexpr HistoryLabel encryptBySecretKey{75, "Encrypt by sk"};
inline constexpr HistoryLabel encryptByPublicKey{76, "Encrypt by pk"};
inline constexpr HistoryLabel decrypt{77, "Decrypt"};

// The text of row `index` (below kLabelCount), GPU forms included.
const std::string& text(std::size_t index);
// The row holding `label`, or kLabelCount when the table has none.
std::size_t rowOf(const std::string& label);

} // namespace labels

} // namespace Morvane
