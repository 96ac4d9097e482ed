#include "morvane/eval/HomEvaluator.hpp"

#include "morvane/core/Files.hpp"
#include "morvane/eval/EnDecoder.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"
#include "morvane/eval/ScratchCiphertexts.hpp"

#include <string>
#include <utility>

namespace Morvane {

HomEvaluatorImpl::HomEvaluatorImpl(const Context& context_, KeyPack pack)
    : context(context_), keyPack(std::move(pack)), enDecoder(std::make_shared<EnDecoder>(context_)),
      scratch(std::make_unique<detail::ScratchCiphertexts>(context_)) {
    // A missing key is no error here: operations that need it ask the pack again.
    keyPack.loadMultKey();
    context->updateOpHistory(labels::generateHomEvaluator);
}

HomEvaluatorImpl::HomEvaluatorImpl(const Context& context_, const std::string& key_dir_path)
    : HomEvaluatorImpl(context_, KeyPack(context_, key_dir_path)) {
    context->updateOpHistory(labels::generateHomEvaluator);
}

HomEvaluatorImpl::~HomEvaluatorImpl() = default;

void HomEvaluatorImpl::updateOpHistoryForDevice(const OpLabel& label, const Device& device) const {
    utils::updateOpHistoryForDevice(*context, label, static_cast<int>(device.type()));
}

void HomEvaluatorImpl::updateOpHistoryForDevice(const OpLabel& label, int device_type) const {
    utils::updateOpHistoryForDevice(*context, label, device_type);
}

HomEvaluator::HomEvaluator(const Context& context_, const std::string& key_dir_path)
    : context(context_), impl(std::make_shared<HomEvaluatorImpl>(
                             context, detail::checkPath(key_dir_path, "HomEvaluator::HomEvaluator"))) {}

HomEvaluator::HomEvaluator(const Context& context_, const KeyPack& pack)
    : context(context_), impl(std::make_shared<HomEvaluatorImpl>(context, pack)) {}

} // namespace Morvane
