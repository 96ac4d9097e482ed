#pragma once

// The one-line texts that Message, Plaintext and Ciphertext show as their Python representation.

#include "morvane/morvane.hpp"

#include <string>

// "CPU", "GPU(id=<id>)", "UNDEFINED" or "CPU_PINNED".
std::string deviceToString(const Morvane::Device& device);

// The slot values of a message with at least one slot: all of them up to ten, otherwise the first five,
// "..., " and the last five.
std::string messageToString(const Morvane::Message& message);

// "<module.Message object> (log(num slots): ..., device: ...[, data: ...])".
std::string representation(const std::string& moduleName, const Morvane::Message& message);
// "<module.Plaintext object> (level: ..., log(num slots): ..., rescale counter: ..., device: ..., data: ...)".
std::string representation(const std::string& moduleName, const Morvane::Plaintext& ptxt);
// As the plaintext's, naming Ciphertext.
std::string representation(const std::string& moduleName, const Morvane::Ciphertext& ctxt);
