// The Python module `romwright`: read an input, render a memory image to
// bytes, take its words as ints, or run a whole command line, in process.
// Keywords are the command line's long options with "_" for "-". The work
// runs without the GIL; the module installs no signal handler, so Ctrl-C
// raises KeyboardInterrupt as usual once a call returns.
#include <pybind11/pybind11.h>
#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "api/internal.hpp"
#include "romwright/romwright.hpp"

namespace py = pybind11;
namespace rw = romwright;

namespace {

// romwright.Error, created when the module is loaded.
PyObject* errorType = nullptr;

[[noreturn]] void raise(const rw::Error& e) {
  std::string message = e.message;
  if (!message.empty() && message.back() == '\n') message.pop_back();
  py::object error = py::reinterpret_borrow<py::object>(errorType)(message, rw::kindName(e.kind), e.subject,
                                                                   e.errnum);
  PyErr_SetObject(errorType, error.ptr());
  throw py::error_already_set();
}

template <class T>
T valueOr(rw::Result<T>&& r) {
  if (!r) raise(r.error());
  return std::move(*r);
}

// An option's value as the command line writes it.
std::string optionText(const py::handle& v) {
  if (py::isinstance<py::bool_>(v)) return v.cast<bool>() ? "yes" : "no";
  if (py::isinstance<py::int_>(v)) return py::str(v).cast<std::string>();
  if (py::isinstance<py::str>(v)) return v.cast<std::string>();
  if (py::hasattr(v, "__fspath__")) return py::str(v.attr("__fspath__")()).cast<std::string>();
  throw py::type_error("an option's value is an int, a str, a bool or a list of them, not " +
                       py::str(py::type::of(v)).cast<std::string>());
}

// The input and the keywords as the library's options.
rw::Options optionsOf(const py::object& input, const py::kwargs& kwargs) {
  rw::Options o;
  if (py::isinstance<py::bytes>(input) || py::isinstance<py::bytearray>(input) ||
      py::isinstance<py::memoryview>(input)) {
    const std::string bytes = py::bytes(input).cast<std::string>();
    o.input_bytes({bytes.begin(), bytes.end()}, "input");
  } else {
    o.set("input", optionText(input));
  }
  for (const auto& [key, value] : kwargs) {
    std::string name = key.cast<std::string>();
    for (char& c : name) c = c == '_' ? '-' : c;
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
      for (const py::handle& item : value) o.set(name, optionText(item));
    } else if (!value.is_none()) {
      o.set(name, optionText(value));
    }
  }
  return o;
}

rw::Image readImage(const py::object& input) {
  if (py::isinstance<py::bytes>(input) || py::isinstance<py::bytearray>(input) ||
      py::isinstance<py::memoryview>(input)) {
    const std::string bytes = py::bytes(input).cast<std::string>();
    rw::Result<rw::Image> r = [&] {
      py::gil_scoped_release unlocked;
      return rw::read(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "input");
    }();
    return valueOr(std::move(r));
  }
  const std::string path = optionText(input);
  rw::Result<rw::Image> r = [&] {
    py::gil_scoped_release unlocked;
    return rw::read(path);
  }();
  return valueOr(std::move(r));
}

}  // namespace

PYBIND11_MODULE(romwright, m) {
  m.doc() = "Firmware executables into ROM and memory images, in memory.";
  m.attr("__version__") = rw::version();

  py::dict scope;
  py::exec(R"(
class Error(Exception):
    """A failure of romwright: .kind ("bad_argument", "unreadable", "malformed",
    "layout" or "io"), .subject (the file, option or address it is about) and
    .errno (the system's error number, or 0)."""
    def __init__(self, message, kind="layout", subject="", errno=0):
        super().__init__(message)
        self.kind = kind
        self.subject = subject
        self.errno = errno
)",
           py::globals(), scope);
  py::object error = scope["Error"];
  error.attr("__module__") = "romwright";
  m.attr("Error") = error;
  errorType = error.ptr();
  Py_INCREF(errorType);

  py::class_<rw::Segment>(m, "Segment", "One loadable piece of a program.")
      .def_readonly("address", &rw::Segment::address, "where its first byte is stored (the load address)")
      .def_readonly("run_address", &rw::Segment::run_address, "where its first byte is when the program runs")
      .def_readonly("size", &rw::Segment::size, "the bytes it takes when the program runs")
      .def_property_readonly(
          "data",
          [](const rw::Segment& s) {
            return py::bytes(reinterpret_cast<const char*>(s.bytes.data()), s.bytes.size());
          },
          "the bytes it stores")
      .def_readonly("section", &rw::Segment::section, "the section it is, when read by section")
      .def("__repr__", [](const rw::Segment& s) {
        return "<romwright.Segment address=" + std::to_string(s.address) + " size=" + std::to_string(s.size) + ">";
      });

  py::class_<rw::Image>(m, "Image", "What an input holds.")
      .def_readonly("entry", &rw::Image::entry)
      .def_readonly("has_entry", &rw::Image::has_entry)
      .def_property_readonly("byte_order",
                             [](const rw::Image& i) { return i.byte_order == rw::ByteOrder::little ? "little" : "big"; })
      .def_readonly("segments", &rw::Image::segments);

  m.def("read", &readImage, py::arg("input"),
        "Reads an input (a path, or bytes) of any kind: ELF, Intel HEX or S-records.");

  m.def(
      "render",
      [](const py::object& input, const py::kwargs& kwargs) {
        const rw::Options o = optionsOf(input, kwargs);
        // The image is made straight into the bytes object, sized for the
        // most it can take and then cut to what it took: no copy of it.
        PyObject* bytes = nullptr;
        std::vector<std::uint8_t> overflow;
        rw::Result<std::size_t> r = [&] {
          py::gil_scoped_release unlocked;
          return rw::renderTo(o, {}, [&](std::size_t bound) -> std::uint8_t* {
            py::gil_scoped_acquire locked;
            bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound));
            if (bytes == nullptr) {
              PyErr_Clear();
              return nullptr;
            }
            return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes));
          }, overflow);
        }();
        py::object owned = py::reinterpret_steal<py::object>(bytes);
        const std::size_t size = valueOr(std::move(r));
        if (!overflow.empty()) return py::bytes(reinterpret_cast<const char*>(overflow.data()), overflow.size());
        PyObject* cut = owned.release().ptr();
        if (_PyBytes_Resize(&cut, static_cast<Py_ssize_t>(size)) != 0) throw py::error_already_set();
        return py::reinterpret_steal<py::bytes>(cut);
      },
      py::arg("input"),
      "The bytes the command line would write for one memory, its options as keywords "
      "(format='vmem', width=32, region='0:16K', ...; lane=, bank=, select= pick one image).");

  m.def(
      "words",
      [](const py::object& input, const py::kwargs& kwargs) {
        const rw::Options o = optionsOf(input, kwargs);
        // Words of up to 64 bits as numbers; wider ones (Python's ints take
        // any width) as their bytes, most significant first.
        std::vector<std::uint64_t> narrow;
        std::vector<std::vector<std::uint8_t>> wide;
        rw::Result<void> r = [&] {
          py::gil_scoped_release unlocked;
          return rw::eachWord(o, {}, [&](std::uint64_t, const std::uint8_t* v, std::size_t n) {
            if (n > 8) {
              wide.emplace_back(v, v + n);
              return;
            }
            std::uint64_t x = 0;
            for (std::size_t i = 0; i < n; i++) x = x << 8 | v[i];
            narrow.push_back(x);
          });
        }();
        if (!r) raise(r.error());
        const size_t count = wide.empty() ? narrow.size() : wide.size();
        py::list out(count);
        for (size_t i = 0; i < count; i++) {
          PyObject* v = wide.empty() ? PyLong_FromUnsignedLongLong(narrow[i])
                                     : _PyLong_FromByteArray(wide[i].data(), wide[i].size(), 0, 0);
          if (v == nullptr) throw py::error_already_set();
          PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), v);
        }
        return out;
      },
      py::arg("input"), "The words of that memory as ints, index 0 at its first address.");

  m.def(
      "build",
      [](const std::vector<std::string>& args) {
        rw::Result<void> r = [&] {
          py::gil_scoped_release unlocked;
          return rw::build(args);
        }();
        if (!r) raise(r.error());
      },
      py::arg("args"), "Runs one command line (without the program's name) in process; returns None.");
}
