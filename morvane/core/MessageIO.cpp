#include "morvane/core/Message.hpp"
#include "morvane/core/Serialize.hpp"

namespace Morvane {

void save(cereal::BinaryOutputArchive& archive, const Message& message) {
    const std::vector<Complex>& slots = message.slots();
    archive(static_cast<u64>(slots.size()));
    // Each double goes out as its own piece, so a short write names the 8 bytes of the part that failed.
    for (const Complex& slot : slots) {
        archive(slot.real());
        archive(slot.imag());
    }
}

void load(cereal::BinaryInputArchive& archive, Message& message) {
    Serialize::loadCounted(archive, message.slots(), 2 * sizeof(double),
                           [](cereal::BinaryInputArchive& in, Complex& slot) {
                               // A slot cut short keeps its previous value: store only complete slots.
                               double re = 0.0;
                               double im = 0.0;
                               in(re);
                               in(im);
                               slot = Complex(re, im);
                           });
}

void Message::save(std::ostream& stream) const { Serialize::save(stream, *this); }

void Message::save(const std::string& path) const {
    detail::checkPath(path, "Message::save");
    Serialize::save(path, *this);
}

void Message::load(std::istream& stream) { Serialize::load(stream, *this); }

void Message::load(const std::string& path) {
    detail::checkPath(path, "Message::load");
    Serialize::load(path, *this);
}

} // namespace Morvane
