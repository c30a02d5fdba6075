/// SmartPointer<T> is the library's owning pointer. All holders of one object
/// share one heap counter; the last holder to give its share back deletes the
/// object through its virtual destructor. One holder may also destroy the
/// object at once (destroy); the others then see themselves as empty.
///
/// The counter's sign carries the object's state: a positive n means the object
/// is alive and n holders refer to it; a negative -n means it was destroyed
/// through one holder and n holders still refer to the counter. Taking a share
/// always increases the magnitude, giving one back moves it towards zero, and
/// the holder that brings it to zero frees the counter.
///
/// No locking: a holder and its copies are used from one thread at a time.
#pragma once

#include <cstdint>
#include <new>

namespace Brolix {

template <class T>
class SmartPointer {
public:
    SmartPointer() = default;

    /// Takes ownership of `object`; null gives an empty holder without a counter.
    /// If the counter cannot be made, the object is deleted at once.
    explicit SmartPointer(T* object) {
        if (object == nullptr) return;
        m_count = new (std::nothrow) int32_t(1);
        if (m_count == nullptr) {
            deleteObject(object);
            return;
        }
        m_object = object;
    }

    SmartPointer(const SmartPointer& other) { share(other); }

    SmartPointer& operator=(const SmartPointer& other) {
        if (this != &other) {
            release();
            share(other);
        }
        return *this;
    }

    virtual ~SmartPointer() { release(); }

    /// True when there is no object, or when the object was destroyed through
    /// another holder.
    virtual bool isNull() const { return m_object == nullptr || m_count == nullptr || *m_count <= 0; }

    /// Gives this holder's share back and leaves it empty; the last share of a
    /// live object deletes it, the last share of any counter frees the counter.
    virtual void release() {
        if (m_object == nullptr || m_count == nullptr) return;
        if (*m_count < 0) {
            if (++*m_count == 0) delete m_count;
        } else if (--*m_count == 0) {
            deleteObject(m_object);
            delete m_count;
        }
        m_object = nullptr;
        m_count = nullptr;
    }

    /// Deletes the object now, whoever else holds it. The other holders keep
    /// their share of the counter (set to minus their number) and see
    /// themselves as empty. On a holder whose object is already destroyed this
    /// gives the holder's share back like release, so that the last holder
    /// still frees the counter.
    virtual void destroy() {
        if (m_count != nullptr && *m_count > 1) {
            deleteObject(m_object);
            *m_count = 1 - *m_count;
            m_object = nullptr;
            m_count = nullptr;
            return;
        }
        release();
    }

    /// True when both hold the same object address (two empty holders are equal).
    virtual bool equals(const SmartPointer& other) const { return m_object == other.m_object; }

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }

    /// The shared count as it stands (0 for a holder without a counter).
    int32_t useCount() const { return m_count ? *m_count : 0; }

private:
    void share(const SmartPointer& other) {
        m_object = other.m_object;
        m_count = other.m_count;
        if (m_count == nullptr) {
            m_object = nullptr;
            return;
        }
        if (*m_count < 0)
            --*m_count;
        else
            ++*m_count;
    }

    static void deleteObject(T* object) {
        try {
            delete object;
        } catch (...) {
            // A destructor that throws must not leave the counter behind.
        }
    }

    T* m_object = nullptr;
    int32_t* m_count = nullptr;
};

}  // namespace Brolix
