/// \file
/// QelAutoBuffer: the owning buffer the runtime's conversions return.
#pragma once

#include <cstddef>
#include <cstdlib>

/// An owning buffer of elements that come from malloc and go back with free.
///
/// Conversions return their text in one; a null pointer means "no text".
/// Move-only. A buffer made with `owned` false never frees its memory.
template <typename T>
class QelAutoBuffer {
 public:
  /// An empty buffer: null, no elements.
  QelAutoBuffer() = default;
  /// Holds the `count` elements at `data`; with `owned`, frees them at the end.
  QelAutoBuffer(T* data, size_t count, bool owned = true) : m_data(data), m_count(count), m_owned(owned) {}
  QelAutoBuffer(const QelAutoBuffer&) = delete;             ///< Not copyable: one owner frees the memory.
  QelAutoBuffer& operator=(const QelAutoBuffer&) = delete;  ///< Not copyable: one owner frees the memory.
  /// Takes over the memory of `o`, which is left empty.
  QelAutoBuffer(QelAutoBuffer&& o) noexcept : m_data(o.m_data), m_count(o.m_count), m_owned(o.m_owned) {
    o.m_data = nullptr;
    o.m_count = 0;
  }
  /// Frees what this buffer owns, then takes over the memory of `o`, which is
  /// left empty.
  QelAutoBuffer& operator=(QelAutoBuffer&& o) noexcept {
    if (this != &o) {
      reset();
      m_data = o.m_data;
      m_count = o.m_count;
      m_owned = o.m_owned;
      o.m_data = nullptr;
      o.m_count = 0;
    }
    return *this;
  }
  /// Frees the memory if the buffer owns it.
  ~QelAutoBuffer() { reset(); }

  /// The elements; null for no text.
  T* get() const { return m_data; }
  /// The number of elements.
  size_t size() const { return m_count; }
  /// Whether there is text, that is, a pointer that is not null.
  explicit operator bool() const { return m_data != nullptr; }
  /// Hands the memory to the caller, who frees it with free; the buffer is
  /// left empty.
  T* release() {
    T* p = m_data;
    m_data = nullptr;
    m_count = 0;
    return p;
  }
  /// Frees the memory if the buffer owns it; the buffer is left empty.
  void reset() {
    if (m_owned && m_data) std::free(m_data);
    m_data = nullptr;
    m_count = 0;
  }

 private:
  T* m_data = nullptr;
  size_t m_count = 0;
  bool m_owned = true;
};
