#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace trestan::toolkit {

/// A resource that many threads use and any one may close, such as an open file behind a Python
/// object. Users take a lease for the length of one use; close() refuses new leases, waits until the
/// leases given out are returned and then lets go of the resource. A use therefore never meets a
/// resource that was closed under it, and close() returns only once no use is in flight.
///
/// A lease must not be held by the thread that calls close(), which would wait for itself.
template <typename T> class ClosableResource {
public:
    /// Holds the resource for one use; returning it (destruction) may let a waiting close() finish.
    class Lease {
    public:
        Lease(Lease&& other) noexcept
            : m_owner(std::exchange(other.m_owner, nullptr)), m_resource(std::move(other.m_resource)) {}
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() {
            if (m_owner != nullptr) {
                m_owner->release();
            }
        }

        T& operator*() const { return *m_resource; }
        T* operator->() const { return m_resource.get(); }
        /// The resource itself, to keep beyond the lease (a closed owner no longer holds it).
        const std::shared_ptr<T>& shared() const { return m_resource; }

    private:
        friend class ClosableResource;
        Lease(ClosableResource* owner, std::shared_ptr<T> resource)
            : m_owner(owner), m_resource(std::move(resource)) {}

        ClosableResource* m_owner;
        std::shared_ptr<T> m_resource;
    };

    ClosableResource() = default;
    explicit ClosableResource(std::shared_ptr<T> resource) : m_resource(std::move(resource)) {}
    ClosableResource(const ClosableResource&) = delete;
    ClosableResource& operator=(const ClosableResource&) = delete;
    /// Waits for the leases in flight, as close() does.
    ~ClosableResource() { close(); }

    /// Puts `resource` in place of a closed or empty one. Leases of the old one stay valid.
    void reset(std::shared_ptr<T> resource) {
        const std::lock_guard lock(m_mutex);
        m_resource = std::move(resource);
    }

    /// A lease on the resource; none once closed.
    std::optional<Lease> acquire() {
        const std::lock_guard lock(m_mutex);
        if (!m_resource) {
            return std::nullopt;
        }
        ++m_leases;
        return Lease(this, m_resource);
    }

    bool closed() const {
        const std::lock_guard lock(m_mutex);
        return !m_resource;
    }

    /// Refuses new leases and waits until every lease given out is returned; the resource is then let
    /// go (destroyed here unless a lease's shared() copy keeps it). Closing twice is harmless.
    void close() {
        std::shared_ptr<T> released;
        {
            std::unique_lock lock(m_mutex);
            released = std::move(m_resource);
            m_returned.wait(lock, [this] { return m_leases == 0; });
        }
    }

private:
    void release() {
        const std::lock_guard lock(m_mutex);
        if (--m_leases == 0) {
            m_returned.notify_all();
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_returned;
    std::shared_ptr<T> m_resource;
    std::size_t m_leases = 0;
};

} // namespace trestan::toolkit
