// The classes Plaintext and Ciphertext: constructors, device moves, files, the data property and bookkeeping.

#include "morvane/python/Binding.hpp"

#include <string>
#include <utility>

using Morvane::Ciphertext;
using Morvane::Message;
using Morvane::Plaintext;
using Morvane::u64;

namespace {

template <typename T>
void defFiles(py::class_<T>& cls) {
    cls.def(
           "save", guarded(+[](const T& self, const std::string& file_path) { self.save(file_path); }),
           py::arg("file_path"))
        .def(
            "load", guarded(+[](T& self, const std::string& file_path) { self.load(file_path); }),
            py::arg("file_path"));
}

// __len__ and __repr__. Both follow log_slots, which Python may set to anything: the library refuses a count
// without a 64-bit value and a text of more slots than the object holds.
template <typename T>
void defLengthAndText(py::class_<T>& cls, std::string moduleName) {
    cls.def("__len__", guardedBrief(&T::getNumberOfSlots));
    defRepresentation(cls, std::move(moduleName));
}

// data, log_slots, rescale_counter and level, all with the interpreter lock held. Reading data makes a new
// message of 2^log_slots slots, the mean over the blocks held; writing it tiles the message over every slot held
// (an empty one is refused).
template <typename T>
void defBookkeeping(py::class_<T>& cls) {
    cls.def_property(
           "data",
           [](const T& self) {
               const BriefLocks locks(self);
               return Morvane::getMessage(self);
           },
           [](T& self, const Message& msg) {
               const BriefLocks locks(msg, self);
               Morvane::setMessage(msg, self);
           })
        .def_property("log_slots", guardedBrief(&T::getLogSlots),
                      [](T& self, u64 log_slots) {
                          const BriefLocks locks(self);
                          self.setLogSlots(log_slots);
                      })
        .def_property("rescale_counter", guardedBrief(&T::getRescaleCounter),
                      [](T& self, int rescale_counter) {
                          const BriefLocks locks(self);
                          self.setRescaleCounter(rescale_counter);
                      })
        .def_property_readonly("level", guardedBrief(&T::getLevel));
}

// device is a copy: the object's own record lives in its internal message, which operations may replace.
template <typename T>
void defDeviceProperties(py::class_<T>& cls) {
    cls.def_property_readonly("device",
                              [](const T& self) {
                                  const BriefLocks locks(self);
                                  return self.getDevice();
                              })
        .def_property_readonly("device_type", [](const T& self) {
            const BriefLocks locks(self);
            return self.getDevice().type();
        });
}

} // namespace

void bindPlaintext(py::module_& m, std::string moduleName) {
    py::class_<Plaintext> cls(m, "Plaintext");
    cls.def(py::init([](const ContextWrapper& context) { return Plaintext(context.context); }), ReleaseLock(),
            "construct a dummy plaintext", py::arg("context"))
        .def(py::init(guarded(&copyOf<Plaintext>)), "copying", py::arg("ptxt"));
    defDeviceMoves(cls);
    defFiles(cls);
    defLengthAndText(cls, std::move(moduleName));
    defBookkeeping(cls);
    defDeviceProperties(cls);
}

void bindCiphertext(py::module_& m, std::string moduleName) {
    py::class_<Ciphertext> cls(m, "Ciphertext");
    cls.def(py::init([](const ContextWrapper& context) { return Ciphertext(context.context, false); }),
            ReleaseLock(), "construct a dummy ciphertext", py::arg("context"))
        .def(py::init([](const ContextWrapper& context, bool is_extended) {
                 return Ciphertext(context.context, is_extended);
             }),
             ReleaseLock(), "construct a dummy ciphertext based on a given is_extended", py::arg("context"),
             py::arg("is_extended"))
        .def(py::init(guarded(&copyOf<Ciphertext>)), "copying", py::arg("ctxt"));
    defDeviceMoves(cls);
    cls.def("is_mod_up", guardedBrief(&Ciphertext::isModUp));
    defFiles(cls);
    defLengthAndText(cls, std::move(moduleName));
    defBookkeeping(cls);
    cls.def_property_readonly("current_prime", guardedBrief(&Ciphertext::getCurrentPrime))
        .def_property_readonly("current_scale_factor", guardedBrief(&Ciphertext::getCurrentScaleFactor));
    defDeviceProperties(cls);
}
