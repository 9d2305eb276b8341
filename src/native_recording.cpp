// Recording files for the package: the reader (core/recording/reader.*) and the timed writer
// (core/recording/timed_writer.*).
//
// Contract:
// - `RecordingReader(path)` reads the headers. `records()` lists them as tuples (offset,
//   frame_type, term_w, term_h, rows, cols, payload_len); `damage()` is what ended the readable
//   part, as (message, offset, index), or None; `frame(i)` is frame i as a new bytearray of
//   rows * cols * 3 bytes (B, G, R); `file_size()`; `close()`.
// - `RecordingWriter(path, overwrite, period)`: `write_frame(data, rows, cols, term_w, term_h)`,
//   `add(data, rows, cols, term_w, term_h, at)`, `close(end)` (None: the last frame's time),
//   `records()`.
// - `RECORDING_MAGIC` and `RECORD_HEADER_SIZE`: the signature and the size of a record's header.
// - Damage is `RecordingDamage` (a ValueError) with the args (message, offset, index); index is None
//   for a file that is not a recording. The system's failures are OSError with their errno (and the
//   path when opening); a bad argument is TypeError or ValueError.
// - Any thread may use the objects, as Python's own files: every call runs whole under the
//   interpreter lock (nothing here lets it go), so calls never overlap. `translate` around every body.
#include "native_recording.hpp"

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding.hpp"
#include "core/recording/reader.hpp"
#include "core/recording/timed_writer.hpp"
#include "messages.hpp"

namespace corvane {
namespace {

using py::PyRef;

PyObject* g_damage_type = nullptr;

struct ReaderObject {
    PyObject_HEAD RecordingFile* file;
};

struct WriterObject {
    PyObject_HEAD TimedWriter* writer;
};

PyObject* value_error(const char* text) {
    PyErr_SetString(PyExc_ValueError, text);
    return nullptr;
}

// The path argument, as the file system takes it.
bool to_path(PyObject* obj, std::string& out) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(obj, &encoded)) return false;
    PyRef bytes = PyRef::steal(encoded);
    out.assign(PyBytes_AsString(bytes.get()), std::size_t(PyBytes_Size(bytes.get())));
    return true;
}

// OSError with the system's error number (so Python picks FileExistsError and the like), and the
// path when there is one; the core's other failures as the binding words them.
PyObject* raise_failure(const Error& error, const std::string* path = nullptr) {
    if ((error.fault == Fault::kOpen || error.fault == Fault::kStep) && error.io.text == IoText::kNone) {
        errno = error.io.os_code;
        return path ? PyErr_SetFromErrnoWithFilename(PyExc_OSError, path->c_str())
                    : PyErr_SetFromErrno(PyExc_OSError);
    }
    if (error.fault == Fault::kOpen || error.fault == Fault::kStep) return py::raise_os_error(error.io);
    return py::raise_error(error);
}

PyObject* damage_tuple(const RecordDamage& d) {
    const std::string text = msg::damage_text(d);
    PyRef index = d.record ? PyRef::steal(PyLong_FromSize_t(*d.record)) : PyRef::borrow(Py_None);
    if (!index) return nullptr;
    return Py_BuildValue("(s#KO)", text.data(), Py_ssize_t(text.size()), (unsigned long long)d.offset,
                         index.get());
}

PyObject* raise_damage(const RecordDamage& d) {
    PyRef args = PyRef::steal(damage_tuple(d));
    if (args) PyErr_SetObject(g_damage_type, args.get());
    return nullptr;
}

template <class Object, class Body>
PyObject* alloc_with(PyTypeObject* type, Body&& fill) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    fill(*reinterpret_cast<Object*>(self));
    return self;
}

void free_object(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

// --- the reader -----------------------------------------------------------------------------

template <class Body>
PyObject* with_reader(PyObject* self, Body&& body) {
    return py::translate([&] { return body(*reinterpret_cast<ReaderObject*>(self)->file); });
}

constexpr const char* PATH_PARAMS[] = {"path"};
constexpr py::Signature READER_NEW_SIG{"RecordingReader.__new__()", PATH_PARAMS, 1};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    if (!py::match_arguments(READER_NEW_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        std::string path;
        if (!to_path(argv[0], path)) return nullptr;
        Result<std::unique_ptr<RecordingFile>> opened = RecordingFile::open(path);
        if (!opened) return raise_failure(opened.error(), &path);
        const std::optional<RecordDamage>& damage = opened.value()->damage();
        if (damage && !damage->record) return raise_damage(*damage);
        return alloc_with<ReaderObject>(type,
                                        [&](ReaderObject& obj) { obj.file = opened.value().release(); });
    });
}

void reader_dealloc(PyObject* self) {
    delete reinterpret_cast<ReaderObject*>(self)->file;
    free_object(self);
}

PyObject* reader_records(PyObject* self, PyObject*) {
    return with_reader(self, [](RecordingFile& file) -> PyObject* {
        const std::vector<RecordEntry>& records = file.records();
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(records.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const format::RecordHeader& h = records[i].header;
            PyObject* item = Py_BuildValue("(KBIIiiI)", (unsigned long long)records[i].offset, h.frame_type,
                                           h.term_w, h.term_h, h.rows, h.cols, h.payload_len);
            if (!item) return nullptr;
            if (PyList_SetItem(list.get(), Py_ssize_t(i), item) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* reader_damage(PyObject* self, PyObject*) {
    return with_reader(self, [](RecordingFile& file) -> PyObject* {
        return file.damage() ? damage_tuple(*file.damage()) : py::none();
    });
}

PyObject* reader_file_size(PyObject* self, PyObject*) {
    return with_reader(self,
                       [](RecordingFile& file) { return PyLong_FromUnsignedLongLong(file.file_size()); });
}

constexpr const char* INDEX_PARAMS[] = {"index"};
constexpr py::Signature FRAME_SIG{"RecordingReader.frame()", INDEX_PARAMS, 1};

PyObject* reader_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    if (!py::match_arguments(FRAME_SIG, args, kwargs, argv)) return nullptr;
    return with_reader(self, [&](RecordingFile& file) -> PyObject* {
        std::int32_t index;
        if (!py::to_i32(argv[0], index)) return py::argument_failed("index"), nullptr;
        if (index < 0 || std::size_t(index) >= file.records().size()) {
            PyErr_SetString(PyExc_IndexError, "frame index out of range");
            return nullptr;
        }
        std::vector<std::uint8_t> frame;
        std::optional<RecordDamage> damage;
        if (Status done = file.frame(std::size_t(index), frame, damage); !done)
            return raise_failure(done.error());
        if (damage) return raise_damage(*damage);
        return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                             Py_ssize_t(frame.size()));
    });
}

PyObject* reader_close(PyObject* self, PyObject*) {
    return with_reader(self, [](RecordingFile& file) {
        file.close();
        return py::none();
    });
}

PyMethodDef kReaderMethods[] = {
    {"records", reader_records, METH_NOARGS,
     "records($self)\n--\n\n(offset, frame_type, term_w, term_h, rows, cols, payload_len) of every record."},
    {"damage", reader_damage, METH_NOARGS,
     "damage($self)\n--\n\n(message, offset, index) of what ended the readable part, or None."},
    {"file_size", reader_file_size, METH_NOARGS, "file_size($self)\n--\n\n"},
    {"frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_frame)),
     METH_VARARGS | METH_KEYWORDS, "frame($self, index)\n--\n\nFrame `index`, rows * cols * 3 bytes."},
    {"close", reader_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>("RecordingReader(path)\n--\n\nA recording file's headers and frames.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kReaderMethods},
    {0, nullptr},
};

PyType_Spec kReaderSpec = {"corvane._native.RecordingReader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT,
                           kReaderSlots};

// --- the writer -----------------------------------------------------------------------------

template <class Body>
PyObject* with_writer(PyObject* self, Body&& body) {
    return py::translate([&] { return body(*reinterpret_cast<WriterObject*>(self)->writer); });
}

bool to_seconds(PyObject* obj, const char* name, double& out) {
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) return py::argument_failed(name);
    return true;
}

// (data, rows, cols, term_w, term_h): data of exactly rows * cols * 3 bytes, terminal sizes not negative.
bool to_timed_frame(PyObject* const* argv, py::ByteInput& data, TimedFrame& frame) {
    std::int32_t term_w, term_h;
    if (!py::to_bytes(argv[0], data, true)) return py::argument_failed("data");
    if (!py::to_i32(argv[1], frame.rows)) return py::argument_failed("rows");
    if (!py::to_i32(argv[2], frame.cols)) return py::argument_failed("cols");
    if (!py::to_i32(argv[3], term_w)) return py::argument_failed("term_w");
    if (!py::to_i32(argv[4], term_h)) return py::argument_failed("term_h");
    if (frame.rows <= 0 || frame.cols <= 0 || term_w < 0 || term_h < 0 ||
        data.size != std::size_t(frame.rows) * std::size_t(frame.cols) * 3)
        return value_error(msg::RECORDING_FRAME_SHAPE), false;
    frame.data = data.data;
    frame.term_w = std::uint32_t(term_w);
    frame.term_h = std::uint32_t(term_h);
    return true;
}

constexpr const char* WRITER_NEW_PARAMS[] = {"path", "overwrite", "period"};
constexpr py::Signature WRITER_NEW_SIG{"RecordingWriter.__new__()", WRITER_NEW_PARAMS, 3};

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[3];
    if (!py::match_arguments(WRITER_NEW_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        std::string path;
        double period;
        if (!to_path(argv[0], path) || !to_seconds(argv[2], "period", period)) return nullptr;
        const int overwrite = PyObject_IsTrue(argv[1]);
        if (overwrite < 0) return nullptr;
        Result<std::unique_ptr<TimedWriter>> created = TimedWriter::create(path, overwrite == 1, period);
        if (!created) return raise_failure(created.error(), &path);
        return alloc_with<WriterObject>(type,
                                        [&](WriterObject& obj) { obj.writer = created.value().release(); });
    });
}

void writer_dealloc(PyObject* self) {
    delete reinterpret_cast<WriterObject*>(self)->writer;
    free_object(self);
}

constexpr const char* WRITE_PARAMS[] = {"data", "rows", "cols", "term_w", "term_h", "at"};
constexpr py::Signature WRITE_SIG{"RecordingWriter.write_frame()", WRITE_PARAMS, 5};
constexpr py::Signature ADD_SIG{"RecordingWriter.add()", WRITE_PARAMS, 6};

PyObject* writer_write_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[5];
    if (!py::match_arguments(WRITE_SIG, args, kwargs, argv)) return nullptr;
    return with_writer(self, [&](TimedWriter& writer) -> PyObject* {
        py::ByteInput data;
        TimedFrame frame{};
        if (!to_timed_frame(argv, data, frame)) return nullptr;
        if (writer.closed()) return value_error(msg::RECORDING_CLOSED);
        if (Status done = writer.write_frame(frame); !done) return raise_failure(done.error());
        return py::none();
    });
}

PyObject* writer_add(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[6];
    if (!py::match_arguments(ADD_SIG, args, kwargs, argv)) return nullptr;
    return with_writer(self, [&](TimedWriter& writer) -> PyObject* {
        py::ByteInput data;
        TimedFrame frame{};
        double at;
        if (!to_timed_frame(argv, data, frame) || !to_seconds(argv[5], "at", at)) return nullptr;
        if (writer.closed()) return value_error(msg::RECORDING_CLOSED);
        if (Status done = writer.add(frame, at); !done) return raise_failure(done.error());
        return py::none();
    });
}

constexpr const char* CLOSE_PARAMS[] = {"end"};
constexpr py::Signature CLOSE_SIG{"RecordingWriter.close()", CLOSE_PARAMS, 1};

PyObject* writer_close(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    if (!py::match_arguments(CLOSE_SIG, args, kwargs, argv)) return nullptr;
    return with_writer(self, [&](TimedWriter& writer) -> PyObject* {
        std::optional<double> end;
        if (argv[0] != Py_None) {
            double seconds;
            if (!to_seconds(argv[0], "end", seconds)) return nullptr;
            end = seconds;
        }
        if (Status done = writer.close(end); !done) return raise_failure(done.error());
        return py::none();
    });
}

PyObject* writer_records(PyObject* self, PyObject*) {
    return with_writer(self,
                       [](TimedWriter& writer) { return PyLong_FromUnsignedLongLong(writer.records()); });
}

PyMethodDef kWriterMethods[] = {
    {"write_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_write_frame)),
     METH_VARARGS | METH_KEYWORDS,
     "write_frame($self, data, rows, cols, term_w, term_h)\n--\n\nOne record now."},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_add)),
     METH_VARARGS | METH_KEYWORDS,
     "add($self, data, rows, cols, term_w, term_h, at)\n--\n\nA frame that appears at `at` seconds."},
    {"close", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_close)),
     METH_VARARGS | METH_KEYWORDS,
     "close($self, end)\n--\n\nFill the ticks up to `end` (None: the last frame's time) and close."},
    {"records", writer_records, METH_NOARGS, "records($self)\n--\n\nRecords written so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kWriterSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("RecordingWriter(path, overwrite, period)\n--\n\nA recording of timed frames.")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_methods, kWriterMethods},
    {0, nullptr},
};

PyType_Spec kWriterSpec = {"corvane._native.RecordingWriter", sizeof(WriterObject), 0, Py_TPFLAGS_DEFAULT,
                           kWriterSlots};

bool add_object(PyObject* module, const char* name, PyObject* object) {
    if (object && PyModule_AddObject(module, name, object) == 0) return true;
    Py_XDECREF(object);
    return false;
}

}  // namespace

bool add_recording_types(PyObject* module) {
    if (!g_damage_type)
        g_damage_type = PyErr_NewExceptionWithDoc("corvane._native.RecordingDamage",
                                                  "A damaged recording: args are (message, offset, index).",
                                                  PyExc_ValueError, nullptr);
    if (!g_damage_type) return false;
    PyObject* magic =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(format::RECORDING_MAGIC), format::MAGIC_SIZE);
    if (!add_object(module, "RECORDING_MAGIC", magic) ||
        PyModule_AddIntConstant(module, "RECORD_HEADER_SIZE", long(format::HEADER_SIZE)) < 0)
        return false;
    Py_INCREF(g_damage_type);
    return add_object(module, "RecordingDamage", g_damage_type) &&
           add_object(module, "RecordingReader", PyType_FromSpec(&kReaderSpec)) &&
           add_object(module, "RecordingWriter", PyType_FromSpec(&kWriterSpec));
}

}  // namespace corvane
