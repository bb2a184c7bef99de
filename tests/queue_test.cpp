#include "queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Lock_Record {
    std::vector<bool> calls;
    uint8_t lock_result = 0;
};

uint8_t record_Lock(bool enable, void* data) {
    auto* record = static_cast<Lock_Record*>(data);
    record->calls.push_back(enable);
    return enable ? record->lock_result : 0;
}

} // namespace

TEST(Queue, HoldsExactlyItsCapacity) {
    Queue<int*> queue;
    queue.init(200);
    EXPECT_EQ(queue.get_Size(), 200u);
    int values[201];
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(queue.Enqueue(&values[i]), 0) << i;
    EXPECT_TRUE(queue.get_Full());
    EXPECT_EQ(queue.get_Left_Count(), 0u);
    EXPECT_NE(queue.Enqueue(&values[200]), 0);
    EXPECT_EQ(queue.get_Count(), 200u);

    int* out = nullptr;
    ASSERT_EQ(queue.Dequeue(&out), 0);
    EXPECT_EQ(out, &values[0]);
    EXPECT_EQ(queue.get_Left_Count(), 1u);
}

TEST(Queue, KeepsOrderAcrossTheWrap) {
    Queue<int> queue(5);
    int next_in = 0, next_out = 0;
    // Uneven fill and drain rounds walk both indices past the end many times.
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 1 + round % 5 && queue.get_Left_Count() > 0; ++i)
            ASSERT_EQ(queue.Enqueue(next_in++), 0);
        for (int i = 0; i < 1 + (round * 3) % 5 && queue.get_Count() > 0; ++i) {
            int value = -1;
            ASSERT_EQ(queue.Dequeue(&value), 0);
            EXPECT_EQ(value, next_out++);
        }
        EXPECT_EQ(queue.get_Count(), static_cast<unsigned int>(next_in - next_out));
    }
    int front = -1;
    if (queue.get_Count() > 0) {
        EXPECT_EQ(queue.get_Front(&front), 0);
        EXPECT_EQ(front, next_out);
        EXPECT_EQ(queue.get_Count(), static_cast<unsigned int>(next_in - next_out));
    }
    EXPECT_EQ(queue.set_Clear(), 0);
    EXPECT_EQ(queue.get_Count(), 0u);
}

TEST(Queue, EmptyQueueAndNullOutputChangeNothing) {
    Queue<int> queue(3);
    int out = 42;
    EXPECT_NE(queue.Dequeue(&out), 0);
    EXPECT_NE(queue.get_Front(&out), 0);
    EXPECT_EQ(out, 42);
    ASSERT_EQ(queue.Enqueue(7), 0);
    EXPECT_NE(queue.Dequeue(nullptr), 0);
    EXPECT_EQ(queue.get_Count(), 1u);

    // Before init there are no slots: nothing fits.
    Queue<int> bare;
    EXPECT_EQ(bare.get_Size(), 0u);
    EXPECT_NE(bare.Enqueue(1), 0);
    EXPECT_EQ(bare.get_Count(), 0u);
}

TEST(Queue, LockProtocol) {
    Lock_Record record;
    Queue<int> queue;
    // Installed before init: ignored.
    EXPECT_NE(queue.set_Lock_Control_Handler(record_Lock, &record), 0);
    queue.init(4);
    EXPECT_EQ(queue.Enqueue(1), 0);
    EXPECT_TRUE(record.calls.empty());

    EXPECT_EQ(queue.set_Lock_Control_Handler(record_Lock, &record), 0);
    int out = 0;
    EXPECT_EQ(queue.Enqueue(2), 0);
    EXPECT_EQ(queue.Dequeue(&out), 0);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(record.calls, (std::vector<bool>{true, false, true, false}));

    // A refused lock stops the operation without the unlocking call.
    record.calls.clear();
    record.lock_result = 1;
    EXPECT_EQ(queue.Enqueue(3), Queue<int>::QUEUE_LOCK_FAILED);
    EXPECT_EQ(queue.Dequeue(&out), Queue<int>::QUEUE_LOCK_FAILED);
    EXPECT_EQ(record.calls, (std::vector<bool>{true, true}));
    EXPECT_EQ(queue.get_Count(), 1u);
    EXPECT_EQ(out, 1);

    // init removes the handler again.
    record.calls.clear();
    queue.init(4);
    EXPECT_EQ(queue.Enqueue(5), 0);
    EXPECT_TRUE(record.calls.empty());
}

TEST(Queue, DestroyingDoesNotReleaseElements) {
    int* value = new int(5);
    {
        Queue<int*> queue(2);
        queue.Enqueue(value);
    }
    EXPECT_EQ(*value, 5);
    delete value;
}
