// def _insert_tf_payloads(buffer, payloads, is_static, ros1) -> (links, records, refused):
//     links, records, refused = [], bytearray(), []
//     for i, payload in enumerate(payloads):    # serialized tf messages, bytes-like
//         try:
//             message = decode(payload, "ROS 1" if ros1 else "CDR")
//         except ValueError as error:           # malformed: the whole message is refused
//             refused.append((i, error, None, ()))
//             continue
//         for t in message.transforms:
//             try:
//                 buffer.insert_transform_stamped(t, is_static)
//             except (TransformError, ValueError, OverflowError) as error:
//                 stamp_ns = t.header.stamp.sec * 10**9 + t.header.stamp.nanosec  # as sent
//                 refused.append((i, error, stamp_ns, (t.header.frame_id, t.child_frame_id)))
//                 continue
//             link = (parent, child) as the buffer stores them
//             records += pack("qqq", i, index of link in links (appended if new), stamp_ns)
//     return links, bytes(records), refused
//
// Every transform is checked as insert_transform_stamped checks it and gets the same
// exception when refused; a refusal never stops the batch. All payloads are decoded and
// every insert prepared before the write lock is taken once for the whole batch; results
// are built after it is released, and the attached filters are then woken once, as after
// any insert. A callback's exception is raised after the inserts are done.

#include "quilm_tf_py/tf_payloads.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "quilm_tf/buffer.hpp"
#include "quilm_tf/tf_wire.hpp"
#include "quilm_tf_py/args.hpp"
#include "quilm_tf_py/dispatch.hpp"
#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/functions.hpp"
#include "quilm_tf_py/messages.hpp"
#include "quilm_tf_py/owned_ref.hpp"
#include "quilm_tf_py/transform_buffer.hpp"

namespace quilm_tf_py {
namespace {

using quilm_tf::TransformBufferError;
using quilm_tf::TfWireError;

// The payloads' buffer views, released together when the call ends.
class Views {
 public:
  Views() = default;
  Views(const Views&) = delete;
  Views& operator=(const Views&) = delete;
  ~Views() {
    // A thread the interpreter is ending no longer holds the GIL: leak the views.
    if (thread_ending()) return;
    for (Py_buffer& view : views_) PyBuffer_Release(&view);
  }
  // An exporter may run Python code (a class with __buffer__).
  bool acquire(PyObject* object) {
    views_.emplace_back();
    if (run_python([&] { return PyObject_GetBuffer(object, &views_.back(), PyBUF_SIMPLE); }) <
        0) {
      views_.pop_back();
      return false;
    }
    return true;
  }
  std::size_t size() const noexcept { return views_.size(); }
  std::span<const std::byte> bytes(std::size_t i) const noexcept {
    return {static_cast<const std::byte*>(views_[i].buf),
            static_cast<std::size_t>(views_[i].len)};
  }

 private:
  // A deque never moves its elements: each view stays where its exporter filled it in.
  std::deque<Py_buffer> views_;
};

// Why one transform, or a whole payload, was refused; turned into its exception once the
// lock is released.
enum class StampProblem : std::uint8_t { SecondsTooLarge };
using Refusal = std::variant<TfWireError, TransformBufferError, Invalid, StampProblem>;

// A transform as sent, kept to describe its refusal; the names view the payload.
struct Sent {
  std::int64_t sec = 0;
  std::uint32_t nanosec = 0;
  std::string_view parent;
  std::string_view child;
};

struct Refused {
  std::size_t payload;
  Refusal why;
  std::optional<Sent> sent;  // empty for a malformed payload
};

// A ROS time as stamp_from_python reads it: unsigned ROS 1 seconds past the signed range
// fail the same conversion, then the two range checks in its order.
std::optional<Refusal> stamp_of(const quilm_tf::WireTransform& t, u128* out) {
  if (t.sec > INT32_MAX) return Refusal{StampProblem::SecondsTooLarge};
  if (t.sec < 0) return Refusal{Invalid::StampSecondsNegative};
  if (t.nanosec >= frames::time::NS_PER_SECOND) return Refusal{Invalid::StampNanosecondsLarge};
  *out = u128{static_cast<std::uint64_t>(t.sec)} * frames::time::NS_PER_SECOND + t.nanosec;
  return std::nullopt;
}

// The refusal as the exception the single insert raises, taken back off the error state.
OwnedRef exception_of(const Refusal& why) {
  std::visit(
      [](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, StampProblem>) {
          raise_int_too_large("C int");
        } else {
          raise(e);
        }
      },
      why);
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return OwnedRef::steal(value);
}

struct LinkKey {
  std::string_view parent;
  std::string_view child;
  friend bool operator==(const LinkKey&, const LinkKey&) = default;
};

struct Pending {
  quilm_tf::PreparedInsert insert;
  LinkKey names;  // normalised, viewing the payload
  std::size_t payload;
  u128 stamp_ns;  // the message's stamp, also for a static transform (stored at zero)
  Sent sent;
};

struct LinkKeyHash {
  std::size_t operator()(const LinkKey& key) const noexcept {
    const std::hash<std::string_view> hash;
    return hash(key.parent) * 31 + hash(key.child);
  }
};

// (parent, child) as a tuple of two str. Names were checked as UTF-8 by the decoder.
OwnedRef names_tuple(std::string_view parent_name, std::string_view child_name) {
  OwnedRef parent = OwnedRef::steal(PyUnicode_FromStringAndSize(
      parent_name.data(), static_cast<Py_ssize_t>(parent_name.size())));
  OwnedRef child = OwnedRef::steal(PyUnicode_FromStringAndSize(
      child_name.data(), static_cast<Py_ssize_t>(child_name.size())));
  if (!parent || !child) {
    return {};
  }
  return OwnedRef::steal(PyTuple_Pack(2, parent.get(), child.get()));
}

bool append_link(PyObject* links, const LinkKey& names) {
  OwnedRef link = names_tuple(names.parent, names.child);
  return link && PyList_Append(links, link.get()) == 0;
}

// (payload index, exception, stamp_ns as sent or None, (parent, child) as sent or ()).
OwnedRef refusal_entry(const Refused& r, PyObject* error) {
  OwnedRef index = OwnedRef::steal(PyLong_FromSize_t(r.payload));
  OwnedRef stamp;
  OwnedRef names;
  if (r.sent) {
    // Seconds below 2^32 keep this far inside int64.
    const std::int64_t ns = r.sent->sec * std::int64_t{1'000'000'000} + r.sent->nanosec;
    stamp = OwnedRef::steal(PyLong_FromLongLong(ns));
    names = names_tuple(r.sent->parent, r.sent->child);
  } else {
    stamp = OwnedRef::borrow(Py_None);
    names = OwnedRef::steal(PyTuple_New(0));
  }
  if (!index || !stamp || !names) {
    return {};
  }
  return OwnedRef::steal(PyTuple_Pack(4, index.get(), error, stamp.get(), names.get()));
}

constexpr const char* PARAMS[] = {"buffer", "payloads", "is_static", "ros1"};

PyObject* insert_tf_payloads(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[4];
    TransformBufferObject* buffer = nullptr;
    bool is_static = false;
    bool ros1 = false;
    if (!parse_args("_insert_tf_payloads", args, nargs, kwnames, PARAMS, 4, values) ||
        !convert_arg(to_transform_buffer, values[0], "buffer", &buffer) ||
        !convert_arg(to_bool, values[2], "is_static", &is_static) ||
        !convert_arg(to_bool, values[3], "ros1", &ros1)) {
      return Raised{};
    }
    // Strong references keep the payloads alive while their views are held.
    std::vector<OwnedRef> payloads;
    Views views;
    {
      OwnedRef iterator = OwnedRef::steal(run_python([&] { return PyObject_GetIter(values[1]); }));
      if (!iterator) {
        add_argument_note("payloads");
        return Raised{};
      }
      while (OwnedRef item =
                 OwnedRef::steal(run_python([&] { return PyIter_Next(iterator.get()); }))) {
        if (!views.acquire(item.get())) {
          add_index_note("payloads", static_cast<Py_ssize_t>(payloads.size()));
          return Raised{};
        }
        payloads.push_back(std::move(item));
      }
      if (PyErr_Occurred() != nullptr) {
        return Raised{};
      }
    }

    // Decoded and prepared before locking; the names view the payloads.
    const auto format = ros1 ? quilm_tf::TfWireFormat::Ros1 : quilm_tf::TfWireFormat::Cdr;
    std::vector<Refused> refused;
    std::vector<Pending> pending;
    std::vector<quilm_tf::WireTransform> wire;
    for (std::size_t i = 0; i < views.size(); ++i) {
      wire.clear();
      if (auto decoded = quilm_tf::decode_tf_message(views.bytes(i), format, wire); !decoded) {
        refused.push_back({i, std::move(decoded).error(), std::nullopt});
        continue;
      }
      for (const quilm_tf::WireTransform& t : wire) {
        const Sent sent{t.sec, t.nanosec, t.parent, t.child};
        u128 stamp_ns = 0;
        if (auto problem = stamp_of(t, &stamp_ns)) {
          refused.push_back({i, std::move(*problem), sent});
          continue;
        }
        auto isometry = quilm_tf::isometry_from_components(t.translation, t.rotation);
        if (!isometry) {
          refused.push_back({i, std::move(isometry).error(), sent});
          continue;
        }
        auto ready = quilm_tf::TransformBuffer::prepare_insert(t.parent, t.child, *isometry,
                                                               stamp_ns, is_static);
        if (!ready) {
          refused.push_back({i, std::move(ready).error(), sent});
          continue;
        }
        const LinkKey names{ready->parent, ready->child};
        pending.push_back({std::move(*ready), names, i, stamp_ns, sent});
      }
    }

    // Refusals found under the lock come after those found before it: they are sorted
    // back into payload order below, stably, so a payload's own order is kept.
    std::vector<std::size_t> accepted;
    accepted.reserve(pending.size());
    const std::size_t refused_before_lock = refused.size();
    {
      auto service = buffer->state.service.write();
      if (!service) {
        return Raised{};
      }
      for (std::size_t k = 0; k < pending.size(); ++k) {
        auto inserted = service->insert(std::move(pending[k].insert));
        if (inserted) {
          accepted.push_back(k);
        } else {
          refused.push_back({pending[k].payload, std::move(inserted).error(), pending[k].sent});
        }
      }
    }
    std::stable_sort(refused.begin() + static_cast<std::ptrdiff_t>(refused_before_lock),
                     refused.end(),
                     [](const Refused& a, const Refused& b) { return a.payload < b.payload; });
    std::inplace_merge(refused.begin(),
                       refused.begin() + static_cast<std::ptrdiff_t>(refused_before_lock),
                       refused.end(),
                       [](const Refused& a, const Refused& b) { return a.payload < b.payload; });

    OwnedRef links = OwnedRef::steal(PyList_New(0));
    OwnedRef records = OwnedRef::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(accepted.size() * 24)));
    OwnedRef refusals = OwnedRef::steal(PyList_New(0));
    if (!links || !records || !refusals) {
      return Raised{};
    }
    std::unordered_map<LinkKey, std::int64_t, LinkKeyHash> link_index;
    char* out = PyBytes_AsString(records.get());
    for (const std::size_t k : accepted) {
      const Pending& p = pending[k];
      auto [at, added] =
          link_index.try_emplace(p.names, static_cast<std::int64_t>(link_index.size()));
      if (added && !append_link(links.get(), p.names)) {
        return Raised{};
      }
      const std::int64_t record[3] = {static_cast<std::int64_t>(p.payload), at->second,
                                      static_cast<std::int64_t>(p.stamp_ns)};
      std::memcpy(out, record, sizeof record);
      out += sizeof record;
    }
    for (const Refused& r : refused) {
      OwnedRef error = exception_of(r.why);
      if (!error) {
        return Raised{};
      }
      OwnedRef entry = refusal_entry(r, error.get());
      if (!entry || PyList_Append(refusals.get(), entry.get()) < 0) {
        return Raised{};
      }
    }
    if (!accepted.empty() && !notify_filters(buffer)) {
      return Raised{};
    }
    return PyTuple_Pack(3, links.get(), records.get(), refusals.get());
  });
}

PyMethodDef tf_payload_functions[] = {
    {"_insert_tf_payloads", as_cfunction(insert_tf_payloads), METH_FASTCALL | METH_KEYWORDS,
     "_insert_tf_payloads(buffer, payloads, is_static, ros1)\n--\n\n"},
};

}  // namespace

int add_tf_payload_functions(PyObject* module) noexcept {
  return add_functions(module, tf_payload_functions);
}

}  // namespace quilm_tf_py
