#include "morvane/python/Representation.hpp"

#include <cstdio>

using Morvane::Complex;
using Morvane::Message;
using Morvane::u64;

namespace {

void appendFixed(std::string& out, double value) {
    // "%f" of a double needs at most 317 digits before the point.
    char buffer[330];
    const int length = std::snprintf(buffer, sizeof buffer, "%f", value);
    out.append(buffer, static_cast<std::size_t>(length));
}

void appendSlot(std::string& out, const Complex& slot, const char* ending) {
    out += '(';
    appendFixed(out, slot.real());
    // Only a negative imaginary part gets "-"; zero, negative zero and NaN take "+" and print as "%f" does.
    if (slot.imag() < 0) {
        out += '-';
        appendFixed(out, -slot.imag());
    } else {
        out += '+';
        appendFixed(out, slot.imag());
    }
    out += ending;
}

template <typename DataObject>
std::string dataObjectText(const std::string& moduleName, const char* className, const DataObject& object) {
    std::string text = "<" + moduleName + "." + className + " object> (level: " + std::to_string(object.getLevel()) +
                       ", log(num slots): " + std::to_string(object.getLogSlots()) +
                       ", rescale counter: " + std::to_string(object.getRescaleCounter()) +
                       ", device: " + deviceToString(object.getDevice()) + ", data: ";
    text += messageToString(Morvane::getMessage(object));
    text += ')';
    return text;
}

} // namespace

std::string deviceToString(const Morvane::Device& device) {
    switch (device.type()) {
    case Morvane::DeviceType::CPU:
        return "CPU";
    case Morvane::DeviceType::GPU:
        return "GPU(id=" + std::to_string(device.id()) + ")";
    case Morvane::DeviceType::UNDEFINED:
        return "UNDEFINED";
    case Morvane::DeviceType::CPU_PINNED:
        return "CPU_PINNED";
    }
    return "";
}

std::string messageToString(const Message& message) {
    const u64 n = message.getSize();
    const Complex* slots = message.begin();
    std::string text = "[ ";
    if (n <= 10) {
        for (u64 i = 0; i + 1 < n; ++i)
            appendSlot(text, slots[i], "j), ");
    } else {
        for (u64 i = 0; i < 5; ++i)
            appendSlot(text, slots[i], "j), ");
        text += "..., ";
        for (u64 i = n - 5; i + 1 < n; ++i)
            appendSlot(text, slots[i], "j), ");
    }
    appendSlot(text, slots[n - 1], "j) ]");
    return text;
}

std::string representation(const std::string& moduleName, const Message& message) {
    const bool empty = message.isEmpty();
    std::string text = "<" + moduleName + ".Message object> (log(num slots): " +
                       (empty ? std::string("empty") : std::to_string(message.getLogSlots())) +
                       ", device: " + deviceToString(message.getDevice());
    if (!empty) {
        text += ", data: ";
        text += messageToString(message);
    }
    text += ')';
    return text;
}

std::string representation(const std::string& moduleName, const Morvane::Plaintext& ptxt) {
    return dataObjectText(moduleName, "Plaintext", ptxt);
}

std::string representation(const std::string& moduleName, const Morvane::Ciphertext& ctxt) {
    return dataObjectText(moduleName, "Ciphertext", ctxt);
}
