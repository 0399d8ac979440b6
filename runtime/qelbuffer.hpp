// An owning buffer returned by conversions.
#pragma once

#include <cstddef>
#include <cstdlib>

// Owning buffer returned by conversions. A null pointer means "no text".
// The memory comes from malloc and is released with free.
template <typename T>
class QelAutoBuffer {
 public:
  QelAutoBuffer() = default;
  QelAutoBuffer(T* data, size_t count, bool owned = true) : m_data(data), m_count(count), m_owned(owned) {}
  QelAutoBuffer(const QelAutoBuffer&) = delete;
  QelAutoBuffer& operator=(const QelAutoBuffer&) = delete;
  QelAutoBuffer(QelAutoBuffer&& o) noexcept : m_data(o.m_data), m_count(o.m_count), m_owned(o.m_owned) {
    o.m_data = nullptr;
    o.m_count = 0;
  }
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
  ~QelAutoBuffer() { reset(); }

  T* get() const { return m_data; }
  size_t size() const { return m_count; }
  explicit operator bool() const { return m_data != nullptr; }
  T* release() {
    T* p = m_data;
    m_data = nullptr;
    m_count = 0;
    return p;
  }
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
