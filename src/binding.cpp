#include "binding.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace corvane::py {
namespace {

// Every argument-error text the bindings produce. Each {X} is a one-letter field that the raiser
// fills in, {F} being the function as in "Corvane.render()".
enum class Msg { TooManyPositional, MultipleValues, UnexpectedKeyword, MissingRequired, StrToVec,
                 CannotConvert, OutOfRange, ArgumentPrefix, AlreadyBorrowed, AlreadyMutablyBorrowed };

struct MsgShape {
    Msg id;
    const char* shape;
};

constexpr MsgShape kMessages[] = {
    {Msg::TooManyPositional, "{F} takes {P} positional arguments but {N} {W} given"},
    {Msg::MultipleValues, "{F} got multiple values for argument '{K}'"},
    {Msg::UnexpectedKeyword, "{F} got an unexpected keyword argument '{K}'"},
    {Msg::MissingRequired, "{F} missing {M} required positional argument{S}: {L}"},
    {Msg::StrToVec, "Can't extract `str` to `Vec`"},
    {Msg::CannotConvert, "'{T}' object cannot be converted to '{K}'"},
    {Msg::OutOfRange, "out of range integral type conversion attempted"},
    {Msg::ArgumentPrefix, "argument '{K}': {M}"},
    {Msg::AlreadyBorrowed, "Already borrowed"},
    {Msg::AlreadyMutablyBorrowed, "Already mutably borrowed"},
};

using Fields = std::initializer_list<std::pair<char, std::string>>;

std::string format_message(Msg id, Fields fields = {}) {
    const char* shape = "";
    for (const auto& m : kMessages)
        if (m.id == id) shape = m.shape;
    std::string out;
    for (const char* p = shape; *p; ++p) {
        const char* close = *p == '{' ? std::strchr(p, '}') : nullptr;
        if (!close) {
            out += *p;
            continue;
        }
        for (const auto& [key, value] : fields)
            if (p[1] == key) out += value;
        p = close;
    }
    return out;
}

void raise(PyObject* type, Msg id, Fields fields = {}) {
    PyErr_SetString(type, format_message(id, fields).c_str());
}

std::string utf8_of(PyObject* str) {
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(str));
    if (!bytes) {
        PyErr_Clear();
        return "<?>";
    }
    return PyBytes_AsString(bytes.get());
}

std::string type_name(PyObject* obj) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return "<unknown>";
    }
    return utf8_of(name.get());
}

std::string quoted_list(const Signature& sig, const std::vector<int>& missing) {
    std::string out;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i != 0) {
            if (missing.size() > 2) out += ',';
            out += i + 1 == missing.size() ? " and " : " ";
        }
        out += '\'';
        out += sig.params[missing[i]];
        out += '\'';
    }
    return out;
}

// An integer argument or element, by its __index__, as a C long.
bool to_long(PyObject* obj, long& out) {
    if (PyLong_Check(obj)) {
        out = PyLong_AsLong(obj);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(obj));
        if (!index) return false;
        out = PyLong_AsLong(index.get());
    }
    return !(out == -1 && PyErr_Occurred());
}

bool to_u8(PyObject* obj, std::uint8_t& out) {
    long v;
    if (!to_long(obj, v)) return false;
    if (v < 0 || v > 255) {
        raise(PyExc_OverflowError, Msg::OutOfRange);
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

// The nearest float, with magnitudes past the float range becoming infinities.
float narrow_to_float(double d) {
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX) {
        // Halfway between FLT_MAX and the next power of two rounds to even, which is infinity.
        const double halfway = double(FLT_MAX) + std::ldexp(1.0, 127 - 24);
        float mag = std::fabs(d) >= halfway ? INFINITY : FLT_MAX;
        return d < 0 ? -mag : mag;
    }
    return static_cast<float>(d);
}

std::atomic<std::uint64_t> g_next_thread_id{1};

const char* code_name(int code) {
    static constexpr const char* kNamesFromZero[] = {
        "StsOk", "StsBackTrace", "StsError", "StsInternal", "StsNoMem", "StsBadArg", "StsBadFunc",
        "StsNoConv", "StsAutoTrace", "HeaderIsNull", "BadImageSize", "BadOffset", "BadDataPtr",
        "BadStep", "BadModelOrChSeq", "BadNumChannels", "BadNumChannel1U", "BadDepth",
        "BadAlphaChannel", "BadOrder", "BadOrigin", "BadAlign", "BadCallBack", "BadTileSize",
        "BadCOI", "BadROISize", "MaskIsTiled", "StsNullPtr", "StsVecLengthErr",
        "StsFilterStructContentErr", "StsKernelStructContentErr", "StsFilterOffsetErr"};
    static constexpr const char* kNamesFrom201[] = {
        "StsBadSize", "StsDivByZero", "StsInplaceNotSupported", "StsObjectNotFound",
        "StsUnmatchedFormats", "StsBadFlag", "StsBadPoint", "StsBadMask", "StsUnmatchedSizes",
        "StsUnsupportedFormat", "StsOutOfRange", "StsParseError", "StsNotImplemented",
        "StsBadMemBlock", "StsAssert", "GpuNotSupported", "GpuApiCallError", "OpenGlNotSupported",
        "OpenGlApiCallError", "OpenCLApiCallError", "OpenCLDoubleNotSupported", "OpenCLInitError",
        "OpenCLNoAMDBlasFft"};
    constexpr int kLow = int(sizeof kNamesFromZero / sizeof *kNamesFromZero);
    constexpr int kHigh = int(sizeof kNamesFrom201 / sizeof *kNamesFrom201);
    if (code <= 0 && code > -kLow) return kNamesFromZero[-code];
    if (code <= -201 && code > -201 - kHigh) return kNamesFrom201[-201 - code];
    return nullptr;
}

}  // namespace

bool match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (given > sig.count) {
        raise(PyExc_TypeError, Msg::TooManyPositional,
              {{'F', sig.function}, {'P', std::to_string(sig.count)}, {'N', std::to_string(given)},
               {'W', given == 1 ? "was" : "were"}});
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);

    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        const std::string name = PyUnicode_Check(key) ? utf8_of(key) : std::string();
        int slot = -1;
        for (int i = 0; i < sig.count; ++i)
            if (name == sig.params[i]) slot = i;
        if (slot < 0) {
            raise(PyExc_TypeError, Msg::UnexpectedKeyword, {{'F', sig.function}, {'K', name}});
            return false;
        }
        if (out[slot]) {
            raise(PyExc_TypeError, Msg::MultipleValues, {{'F', sig.function}, {'K', name}});
            return false;
        }
        out[slot] = value;
    }

    std::vector<int> missing;
    for (int i = 0; i < sig.count; ++i)
        if (!out[i]) missing.push_back(i);
    if (!missing.empty()) {
        raise(PyExc_TypeError, Msg::MissingRequired,
              {{'F', sig.function}, {'M', std::to_string(missing.size())},
               {'S', missing.size() > 1 ? "s" : ""}, {'L', quoted_list(sig, missing)}});
        return false;
    }
    return true;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, Msg::CannotConvert, {{'T', type_name(obj)}, {'K', target}});
}

bool to_bytes(PyObject* obj, ByteInput& out, bool may_borrow) {
    if (PyUnicode_Check(obj)) {
        raise(PyExc_TypeError, Msg::StrToVec);
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    // Exact bytes cannot change under us and iterate to their own bytes: borrow them as they lie.
    if (PyBytes_CheckExact(obj)) {
        out.holder = PyRef::borrow(obj);
        out.data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(obj));
        out.size = static_cast<std::size_t>(PyBytes_Size(obj));
        return true;
    }
    switch (take_contiguous_bytes(obj, out, may_borrow)) {
        case Intake::kTaken: return true;
        case Intake::kFailed: return false;
        case Intake::kDeclined: break;
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    // The length only sizes the first reservation; an overstated one must not cost memory.
    else out.owned.reserve(std::min<std::size_t>(std::size_t(hint), std::size_t(1) << 26));
    // Lists and tuples are walked in place; anything else through its own iterator.
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        const bool list = PyList_CheckExact(obj);
        for (Py_ssize_t i = 0;; ++i) {
            // Re-read the size each time: an element's __index__ may shrink the list.
            if (i >= (list ? PyList_Size(obj) : PyTuple_Size(obj))) break;
            PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
            PyRef hold = PyRef::borrow(item);
            std::uint8_t b;
            if (!to_u8(item, b)) return false;
            out.owned.push_back(b);
        }
    } else {
        PyRef iter = PyRef::steal(PyObject_GetIter(obj));
        if (!iter) return false;
        while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
            std::uint8_t b;
            if (!to_u8(item.get(), b)) return false;
            out.owned.push_back(b);
        }
        if (PyErr_Occurred()) return false;
    }
    out.use_owned();
    return true;
}

bool to_i32(PyObject* obj, std::int32_t& out) {
    long v;
    if (!to_long(obj, v)) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        raise(PyExc_OverflowError, Msg::OutOfRange);
        return false;
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

bool to_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        return false;
    }
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(obj));
    if (!bytes) return false;
    char* p;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(bytes.get(), &p, &n) < 0) return false;
    out.assign(p, static_cast<std::size_t>(n));
    return true;
}

bool to_f32(PyObject* obj, float& out) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out = narrow_to_float(d);
    return true;
}

bool argument_failed(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef old_type = PyRef::steal(type), old = PyRef::steal(value), old_tb = PyRef::steal(tb);
    PyRef text = PyRef::steal(PyObject_Str(old.get()));
    std::string message = text ? utf8_of(text.get()) : std::string();
    if (!text) PyErr_Clear();
    const std::string prefixed = format_message(Msg::ArgumentPrefix, {{'K', name}, {'M', message}});
    PyRef arg = PyRef::steal(PyUnicode_FromStringAndSize(prefixed.data(), Py_ssize_t(prefixed.size())));
    if (!arg) return false;
    PyRef fresh = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, arg.get(), nullptr));
    if (!fresh) return false;
    PyException_SetCause(fresh.get(), PyException_GetCause(old.get()));  // steals the new reference
    Py_INCREF(PyExc_TypeError);
    PyErr_Restore(PyExc_TypeError, fresh.release(), nullptr);
    return false;
}

PyObject* panic_exception_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "The exception raised when a call of the native module fails in a way it cannot recover from.\n\n"
        "Like SystemExit, it derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise_panic(const std::string& message) {
    const std::string note = "thread '<unnamed>' panicked in _corvane:\n" + message + "\n";
    for (size_t off = 0; off < note.size();) {
        ssize_t n = ::write(STDERR_FILENO, note.data() + off, note.size() - off);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) off += size_t(n);
    }
    PyObject* type = panic_exception_type();
    if (!type) return nullptr;
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_cv_error(const CvError& error) {
    std::string text = error.message + " (code: ";
    if (const char* name = code_name(error.code)) text += std::string(name) + ", ";
    text += std::to_string(error.code) + ")";
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
    return nullptr;
}

PyObject* raise_os_error(const IoError& error) {
    PyErr_SetString(PyExc_OSError, error.display().c_str());
    return nullptr;
}

std::uint64_t current_thread_id() {
    thread_local const std::uint64_t id = g_next_thread_id.fetch_add(1);
    return id;
}

Borrow::Borrow(Ownership& own, Access access, const char* type_path) : own_(own), access_(access) {
    const std::uint64_t me = current_thread_id();
    if (me != own.owner) {
        raise_panic(std::string("assertion `left == right` failed: ") + type_path +
                    " is unsendable, but sent to another thread\n  left: ThreadId(" + std::to_string(me) +
                    ")\n right: ThreadId(" + std::to_string(own.owner) + ")");
        return;
    }
    constexpr std::uint64_t kWriter = ~std::uint64_t{0};
    if (access == Access::Exclusive && own.borrow != 0) {
        raise(PyExc_RuntimeError, Msg::AlreadyBorrowed);
    } else if (access == Access::Shared && own.borrow == kWriter) {
        raise(PyExc_RuntimeError, Msg::AlreadyMutablyBorrowed);
    } else {
        own.borrow = access == Access::Exclusive ? kWriter : own.borrow + 1;
        held_ = true;
    }
}

Borrow::~Borrow() {
    if (!held_) return;
    if (access_ == Access::Exclusive) own_.borrow = 0;
    else --own_.borrow;
}

}  // namespace corvane::py
