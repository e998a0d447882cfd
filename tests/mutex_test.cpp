// The lock order of ranked mutexes: the registry's before a sensor's, checked
// while running in the builds that check it.
#include "mutex.h"

#include <gtest/gtest.h>

#include <thread>

#include "sensormanager.h"

TEST(LockOrder, TheRegistryBeforeASensorNeverTwoSensorsAndNeverTheRegistryAgain) {
#ifndef SENSOMARK_CHECK_LOCK_ORDER
    GTEST_SKIP() << "this build does not check the lock order";
#endif
    Mutex registry(LockRank::REGISTRY), sensor(LockRank::SENSOR), other(LockRank::SENSOR);
    Mutex unranked;
    {
        MutexLock first(registry);
        MutexLock second(sensor);
        MutexLock free(unranked);
        // Each thread keeps an order of its own.
        std::thread([&] { MutexLock alone(other); }).join();
    }
    {
        MutexLock again(sensor);  // released above: taken alone once more
    }
    EXPECT_DEATH(
        {
            MutexLock a(sensor);
            MutexLock b(registry);
        },
        "lock order violated");
    EXPECT_DEATH(
        {
            MutexLock a(sensor);
            MutexLock b(other);
        },
        "lock order violated");
    SensorManager sensors;
    sensors.nameSensor(sensors.newSensor("/dev/null"), "probe");
    // A query takes the registry's lock, then the sensor's...
    EXPECT_EQ(sensors.getReading("probe.1"), "valid=0");
    // ...but a registry callback must not ask the registry again: it ends
    // instead of hanging.
    EXPECT_DEATH(sensors.forEachSensor([&](Sensor*) { sensors.getReading("probe.1"); }),
                 "lock order violated");
}
