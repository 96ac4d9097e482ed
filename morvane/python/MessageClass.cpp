// The class Message: constructors, item access, slicing, iteration, the buffer export and files.

#include "morvane/python/Binding.hpp"

#include "morvane/core/tables/NeverDestroyed.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

using Morvane::Complex;
using Morvane::Message;
using Morvane::u64;

namespace {

// Live buffer exports per Python object, read and written only with the interpreter lock held. Keyed by the
// Python object so that a release always finds its export; the message is the one the export was made of.
struct Exports {
    const Message* message;
    std::size_t count;
};
Morvane::detail::NeverDestroyed<std::unordered_map<PyObject*, Exports>> liveExports;

getbufferproc pybindGetBuffer = nullptr;
releasebufferproc pybindReleaseBuffer = nullptr;

// Where the view of an empty message points: a zero-length view never reads it, but must not be null.
Complex emptySlots[1];

// The view is made with the message held, so that it never shows storage a writer is replacing; a writer that
// may replace it checks the exports once it holds the message.
int countedGetBuffer(PyObject* object, Py_buffer* view, int flags) {
    // An instance made by __new__ without __init__ holds no message, and pybind11's export would use it.
    auto* instance = reinterpret_cast<py::detail::instance*>(object);
    const Message* message = instance->get_value_and_holder().value_ptr<Message>();
    if (message == nullptr) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "the Message object has not been constructed");
        return -1;
    }
    try {
        // Recorded: pybind11's export may allocate Python objects.
        const ObjectLocks locks(*message);
        const NestedCalls nested;
        if (pybindGetBuffer(object, view, flags) != 0)
            return -1;
        Exports& exports = (*liveExports)[object];
        exports.message = message;
        ++exports.count;
        return 0;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    view->obj = nullptr;
    return -1;
}

void countedReleaseBuffer(PyObject* object, Py_buffer* view) {
    const auto found = liveExports->find(object);
    if (found != liveExports->end() && --found->second.count == 0)
        liveExports->erase(found);
    pybindReleaseBuffer(object, view);
}

void installExportCounting(py::class_<Message>& cls) {
    PyBufferProcs* procs = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_as_buffer;
    pybindGetBuffer = procs->bf_getbuffer;
    pybindReleaseBuffer = procs->bf_releasebuffer;
    procs->bf_getbuffer = countedGetBuffer;
    procs->bf_releasebuffer = countedReleaseBuffer;
}

void requirePowerOfTwo(std::size_t n) {
    if ((n & (n - 1)) != 0)
        throw Morvane::RuntimeException("The size of array must be a power of 2.");
}

Message messageFromList(std::vector<Complex> data) {
    requirePowerOfTwo(data.size());
    // The converted list becomes the slot storage itself; an empty list gives an empty message.
    Message message;
    message.slots() = std::move(data);
    return message;
}

void setData(Message& self, std::vector<Complex> data) {
    requirePowerOfTwo(data.size());
    const ObjectLocks locks(self);
    if (data.size() == self.getSize()) {
        // Same length: written in place, so exported views and running iterators see the new values.
        const ReleasedInterpreter release;
        std::copy(data.begin(), data.end(), self.begin());
        return;
    }
    ensureNoExports(self);
    const ReleasedInterpreter release;
    self.slots() = std::move(data);
}

std::size_t checkedIndex(const Message& message, int idx) {
    if (idx < 0 || static_cast<u64>(idx) >= message.getSize())
        throw py::index_error("Message index out of range");
    return static_cast<std::size_t>(idx);
}

py::list sliceOf(const Message& message, const py::slice& slice) {
    // Recorded: making the list may run Python code (a finalizer), which could otherwise resize the message.
    const ObjectLocks locks(message);
    const NestedCalls nested;
    py::ssize_t start = 0;
    py::ssize_t stop = 0;
    py::ssize_t step = 0;
    // The bounds may be objects whose __index__ is Python code.
    if (intoPython(PySlice_Unpack, slice.ptr(), &start, &stop, &step) != 0)
        throw py::error_already_set();
    const py::ssize_t count = PySlice_AdjustIndices(static_cast<py::ssize_t>(message.getSize()), &start, &stop, step);
    py::list result(count);
    const Complex* slots = message.begin();
    for (py::ssize_t k = 0; k < count; ++k, start += step) {
        PyObject* value = PyComplex_FromDoubles(slots[start].real(), slots[start].imag());
        if (value == nullptr)
            throw py::error_already_set();
        PyList_SET_ITEM(result.ptr(), k, value);
    }
    return result;
}

// Iteration re-reads the message at every step, so a resize while iterating ends the iteration at the new
// length instead of reading storage that was given up. The end test reads the slot too, with the message held,
// so that no other thread's resize comes between the two.
struct SlotCursor {
    const Message* message;
    std::size_t index;
    Complex slot;

    Complex operator*() const { return slot; }
    SlotCursor& operator++() {
        ++index;
        return *this;
    }
};
struct SlotsEnd {};
bool operator==(SlotCursor& cursor, SlotsEnd) {
    const BriefLocks locks(*cursor.message);
    if (cursor.index >= cursor.message->getSize())
        return true;
    cursor.slot = (*cursor.message)[cursor.index];
    return false;
}

} // namespace

bool hasExports(const Message& message) {
    for (const auto& entry : *liveExports)
        if (entry.second.message == &message)
            return true;
    return false;
}

void ensureNoExports(const Message& message) {
    if (hasExports(message))
        throw py::buffer_error("Existing exports of data: object cannot be re-sized");
}

void bindMessage(py::module_& m, std::string moduleName) {
    py::class_<Message> cls(m, "Message", py::buffer_protocol());
    // Called by countedGetBuffer, which holds the message.
    cls.def_buffer([](Message& self) {
        Complex* slots = self.isEmpty() ? emptySlots : self.begin();
        return py::buffer_info(slots, static_cast<py::ssize_t>(sizeof(Complex)),
                               py::format_descriptor<Complex>::format(), 1,
                               {static_cast<py::ssize_t>(self.getSize())},
                               {static_cast<py::ssize_t>(sizeof(Complex))});
    });
    installExportCounting(cls);
    cls.def(py::init<>(), ReleaseLock(), "default constructor")
        .def(py::init<unsigned long>(), ReleaseLock(), "construct a dummy message based on a given log_slots",
             py::arg("log_slots"))
        .def(py::init<unsigned long, Complex>(), ReleaseLock(),
             "construct a dummy message based on given log_slots and initail", py::arg("log_slots"),
             py::arg("initial"))
        .def(py::init(guarded(&copyOf<Message>)), "copying", py::arg("msg"))
        .def(py::init([](std::vector<Complex> data) {
                 const ReleasedInterpreter release;
                 return messageFromList(std::move(data));
             }),
             py::arg("data"))
        .def("is_empty", guardedBrief(&Message::isEmpty));
    defDeviceMoves(cls);
    cls.def("save", guarded(static_cast<void (Message::*)(const std::string&) const>(&Message::save)),
            py::arg("file_path"))
        .def(
            "load",
            [](Message& self, const std::string& file_path) {
                // The file decides the slot count, so loading is refused while views are exported.
                const ObjectLocks locks(self);
                ensureNoExports(self);
                const ReleasedInterpreter release;
                self.load(file_path);
            },
            py::arg("file_path"))
        .def("set_data", &setData, py::arg("data"))
        .def("__len__", guardedBrief(&Message::getSize))
        .def(
            "__setitem__",
            [](Message& self, int idx, Complex value) {
                const BriefLocks locks(self);
                self[checkedIndex(self, idx)] = value;
            },
            py::arg("idx"), py::arg("value"))
        .def(
            "fill", guarded(+[](Message& self, Complex constant) { std::fill(self.begin(), self.end(), constant); }),
            py::arg("constant"))
        .def(
            "__getitem__",
            [](const Message& self, int idx) {
                const BriefLocks locks(self);
                return self[checkedIndex(self, idx)];
            },
            py::arg("idx"))
        .def("__getitem__", &sliceOf, py::arg("slice"))
        .def(
            "__iter__",
            [](const Message& self) { return py::make_iterator(SlotCursor{&self, 0, {}}, SlotsEnd{}); },
            py::keep_alive<0, 1>());
    defRepresentation(cls, std::move(moduleName));
    cls.def_property_readonly("log_slots",
                              [](const Message& self) {
                                  const BriefLocks locks(self);
                                  return self.isEmpty() ? u64{0} : self.getLogSlots();
                              })
        .def_property_readonly("device", [](const Message& self) { return FollowingDevice{&self}; })
        .def_property_readonly("device_type", [](const Message& self) {
            const BriefLocks locks(self);
            return self.getDevice().type();
        });
}
