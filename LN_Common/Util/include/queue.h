// Queue<T>: a bounded first-in, first-out ring of element values with an
// optional lock handler that the queue calls around Enqueue and Dequeue.
// The link thread uses it as Queue<BMC::Packet*>; the queue never creates,
// copies or releases what a pointer element points to.
//
// One slot always stays unused, so that a full ring and an empty ring differ:
// empty when rear == front, full when count == buffer_size - 1.
#pragma once

#include <cstdint>
#include <functional>

template <typename T>
class Queue {
public:
    using Lock_Handler = std::function<uint8_t(bool enable, void* lock_data)>;

    // Results of the operations that report one.
    enum : uint8_t {
        QUEUE_OK = 0,
        QUEUE_LOCK_FAILED = 1, // the lock handler refused to lock; nothing was done
        QUEUE_FULL = 2,        // Enqueue: no room (or no slots before init)
        QUEUE_EMPTY = 2,       // Dequeue, get_Front: nothing queued
        QUEUE_NO_OUTPUT = 3,   // Dequeue, get_Front: null output pointer
        QUEUE_NO_SLOTS = 1,    // set_Lock_Control_Handler before init
    };

    Queue() = default;
    explicit Queue(unsigned int size) { init(size); }
    virtual ~Queue() { delete[] buffer_ptr; }

    // A copy would share the slot array and the lock; queues are not copied.
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // Discards any previous slots (queued elements are not released) and
    // makes room for `size` elements. Removes the lock handler.
    void init(unsigned int size) {
        delete[] buffer_ptr;
        buffer_ptr = new T[size + buffer_end_offset]();
        buffer_size = size + buffer_end_offset;
        buffer_rear = 0;
        buffer_front = 0;
        lock_data = nullptr;
        set_Lock_Handler = nullptr;
    }

    // Installs the lock handler; only a queue that has slots takes one.
    uint8_t set_Lock_Control_Handler(Lock_Handler handler, void* data) {
        if (buffer_ptr == nullptr || buffer_size == 0)
            return QUEUE_NO_SLOTS;
        set_Lock_Handler = std::move(handler);
        lock_data = data;
        return QUEUE_OK;
    }

    uint8_t Enqueue(const T& data) {
        if (set_Lock(true) != 0)
            return QUEUE_LOCK_FAILED;
        uint8_t result = QUEUE_FULL;
        if (buffer_size != 0 && get_Left_Count() != 0) {
            buffer_ptr[buffer_rear] = data;
            buffer_rear = next_Index(buffer_rear);
            result = QUEUE_OK;
        }
        set_Lock(false);
        return result;
    }

    uint8_t Dequeue(T* data) {
        if (set_Lock(true) != 0)
            return QUEUE_LOCK_FAILED;
        uint8_t result = take_Front(data, true);
        set_Lock(false);
        return result;
    }

    // Reads the oldest element without removing it, under the lock.
    uint8_t get_Front(T* data) {
        if (set_Lock(true) != 0)
            return QUEUE_LOCK_FAILED;
        uint8_t result = take_Front(data, false);
        set_Lock(false);
        return result;
    }

    // Empties the ring under the lock; the elements are not released.
    uint8_t set_Clear() {
        if (set_Lock(true) != 0)
            return QUEUE_LOCK_FAILED;
        buffer_front = buffer_rear;
        set_Lock(false);
        return QUEUE_OK;
    }

    // A snapshot taken without the lock.
    unsigned int get_Count() const {
        if (buffer_rear >= buffer_front)
            return buffer_rear - buffer_front;
        return buffer_rear + buffer_size - buffer_front;
    }

    unsigned int get_Left_Count() const { return get_Size() - get_Count(); }

    // The capacity given to init.
    unsigned int get_Size() const { return buffer_size == 0 ? 0 : buffer_size - buffer_end_offset; }

    bool get_Full() const { return get_Left_Count() == 0; }

private:
    uint8_t set_Lock(bool enable) {
        if (!set_Lock_Handler)
            return 0;
        return set_Lock_Handler(enable, lock_data);
    }

    unsigned int next_Index(unsigned int index) const {
        return index + 1 >= buffer_size ? 0 : index + 1;
    }

    uint8_t take_Front(T* data, bool remove) {
        if (data == nullptr)
            return QUEUE_NO_OUTPUT;
        if (buffer_rear == buffer_front)
            return QUEUE_EMPTY;
        *data = buffer_ptr[buffer_front];
        if (remove)
            buffer_front = next_Index(buffer_front);
        return QUEUE_OK;
    }

    T* buffer_ptr = nullptr;
    const unsigned int buffer_end_offset = 1;
    unsigned int buffer_size = 0;
    unsigned int buffer_rear = 0;
    unsigned int buffer_front = 0;
    void* lock_data = nullptr;
    Lock_Handler set_Lock_Handler;
};
