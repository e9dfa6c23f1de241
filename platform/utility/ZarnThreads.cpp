// Threads, ticket locks, mutexes, semaphores and conditions over pthreads.
// Timed waits run on CLOCK_MONOTONIC so that a change of the wall clock
// neither shortens nor stretches them.
#include "ZarnUtility.h"

#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

struct c_thread_t {
    pthread_t id;
};

namespace {

struct timespec deadlineAfter(clockid_t clock, uint32_t milliseconds) {
    struct timespec deadline;
    clock_gettime(clock, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

int initMonotonicCondition(pthread_cond_t* condition) {
    pthread_condattr_t attributes;
    int error = pthread_condattr_init(&attributes);
    if (error != 0)
        return error;
    error = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    if (error == 0)
        error = pthread_cond_init(condition, &attributes);
    pthread_condattr_destroy(&attributes);
    return error;
}

// A mutex and its monotonic condition, both or neither.
int initPair(pthread_mutex_t* mutex, pthread_cond_t* condition) {
    int error = pthread_mutex_init(mutex, NULL);
    if (error != 0)
        return error;
    error = initMonotonicCondition(condition);
    if (error != 0)
        pthread_mutex_destroy(mutex);
    return error;
}

int destroyPair(pthread_mutex_t* mutex, pthread_cond_t* condition) {
    int error = pthread_cond_destroy(condition);
    int mutexError = pthread_mutex_destroy(mutex);
    return error != 0 ? error : mutexError;
}

} // namespace

// ------------------------------------------------------------------ threads

extern "C" int c_thread_create(c_thread_t** thread, c_thread_routine_t routine, void* argument) {
    if (thread == NULL || routine == NULL)
        return EINVAL;
    *thread = NULL;
    c_thread_t* record = static_cast<c_thread_t*>(c_malloc(sizeof *record));
    if (record == NULL)
        return ENOMEM;
    int error = pthread_create(&record->id, NULL, routine, argument);
    if (error != 0) {
        c_free(record);
        return error;
    }
    *thread = record;
    return 0;
}

extern "C" int c_thread_timedjoin(c_thread_t* thread, void** result, uint32_t milliseconds) {
    if (thread == NULL)
        return EINVAL;
    // pthread_timedjoin_np measures its deadline on CLOCK_REALTIME.
    struct timespec deadline = deadlineAfter(CLOCK_REALTIME, milliseconds);
    void* value = NULL;
    int error = pthread_timedjoin_np(thread->id, &value, &deadline);
    if (error != 0)
        return error;
    if (result != NULL)
        *result = value;
    c_free(thread);
    return 0;
}

extern "C" int c_getNCPU(void) {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int>(count) : 1;
}

extern "C" int c_thread_setaffinity(c_thread_t* thread, uint64_t mask) {
    if (thread == NULL || mask == 0)
        return EINVAL;
    long configured = sysconf(_SC_NPROCESSORS_CONF);
    if (configured <= 0)
        configured = c_getNCPU();
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; cpu++) {
        if ((mask & (UINT64_C(1) << cpu)) == 0)
            continue;
        if (cpu >= configured)
            return EINVAL; // a processor the machine doesn't have
        CPU_SET(cpu, &set);
    }
    return pthread_setaffinity_np(thread->id, sizeof set, &set);
}

// ------------------------------------------------------------- ticket locks

extern "C" int c_ticket_init(c_ticket_t* lock) {
    if (lock == NULL)
        return EINVAL;
    lock->next = 0;
    lock->serving = 0;
    return initPair(&lock->mutex, &lock->turn);
}

extern "C" int c_ticket_lock(c_ticket_t* lock) {
    if (lock == NULL)
        return EINVAL;
    int error = pthread_mutex_lock(&lock->mutex);
    if (error != 0)
        return error;
    uint64_t ticket = lock->next++;
    while (lock->serving != ticket)
        pthread_cond_wait(&lock->turn, &lock->mutex);
    return pthread_mutex_unlock(&lock->mutex);
}

extern "C" int c_ticket_unlock(c_ticket_t* lock) {
    if (lock == NULL)
        return EINVAL;
    int error = pthread_mutex_lock(&lock->mutex);
    if (error != 0)
        return error;
    if (lock->serving == lock->next) { // nobody holds it: don't let a later arrival skip the queue
        pthread_mutex_unlock(&lock->mutex);
        return EPERM;
    }
    lock->serving++;
    pthread_cond_broadcast(&lock->turn);
    return pthread_mutex_unlock(&lock->mutex);
}

extern "C" int c_ticket_delete(c_ticket_t* lock) {
    if (lock == NULL)
        return EINVAL;
    return destroyPair(&lock->mutex, &lock->turn);
}

// ------------------------------------------------------------------ mutexes

extern "C" int c_mutex_init(c_mutex_t* mutex) {
    return mutex == NULL ? EINVAL : pthread_mutex_init(&mutex->mutex, NULL);
}

extern "C" int c_mutex_lock(c_mutex_t* mutex) { return mutex == NULL ? EINVAL : pthread_mutex_lock(&mutex->mutex); }

extern "C" int c_mutex_unlock(c_mutex_t* mutex) { return mutex == NULL ? EINVAL : pthread_mutex_unlock(&mutex->mutex); }

extern "C" int c_mutex_destroy(c_mutex_t* mutex) {
    return mutex == NULL ? EINVAL : pthread_mutex_destroy(&mutex->mutex);
}

// --------------------------------------------------------------- semaphores

extern "C" int c_semaphore_init(c_semaphore_t* semaphore, uint32_t initialValue) {
    if (semaphore == NULL)
        return EINVAL;
    semaphore->value = initialValue;
    return initPair(&semaphore->mutex, &semaphore->posted);
}

extern "C" int c_semaphore_wait(c_semaphore_t* semaphore, uint32_t milliseconds) {
    if (semaphore == NULL)
        return EINVAL;
    struct timespec deadline = deadlineAfter(CLOCK_MONOTONIC, milliseconds);
    int error = pthread_mutex_lock(&semaphore->mutex);
    if (error != 0)
        return error;
    while (semaphore->value == 0 && error == 0) {
        if (milliseconds == C_WAIT_FOREVER)
            error = pthread_cond_wait(&semaphore->posted, &semaphore->mutex);
        else
            error = pthread_cond_timedwait(&semaphore->posted, &semaphore->mutex, &deadline);
    }
    // A post that came together with the time-out still counts.
    if (semaphore->value > 0) {
        semaphore->value--;
        error = 0;
    }
    pthread_mutex_unlock(&semaphore->mutex);
    return error;
}

extern "C" int c_semaphore_post(c_semaphore_t* semaphore) {
    if (semaphore == NULL)
        return EINVAL;
    int error = pthread_mutex_lock(&semaphore->mutex);
    if (error != 0)
        return error;
    if (semaphore->value == UINT32_MAX) {
        error = EOVERFLOW;
    } else {
        semaphore->value++;
        pthread_cond_signal(&semaphore->posted);
    }
    pthread_mutex_unlock(&semaphore->mutex);
    return error;
}

extern "C" int c_semaphore_destroy(c_semaphore_t* semaphore) {
    if (semaphore == NULL)
        return EINVAL;
    return destroyPair(&semaphore->mutex, &semaphore->posted);
}

// --------------------------------------------------------------- conditions

extern "C" int c_condition_init(c_condition_t* condition) {
    if (condition == NULL)
        return EINVAL;
    return initPair(&condition->mutex, &condition->cond);
}

extern "C" int c_condition_lock(c_condition_t* condition) {
    return condition == NULL ? EINVAL : pthread_mutex_lock(&condition->mutex);
}

extern "C" int c_condition_unlock(c_condition_t* condition) {
    return condition == NULL ? EINVAL : pthread_mutex_unlock(&condition->mutex);
}

extern "C" int c_condition_wait(c_condition_t* condition, uint32_t milliseconds) {
    if (condition == NULL)
        return EINVAL;
    if (milliseconds == C_WAIT_FOREVER)
        return pthread_cond_wait(&condition->cond, &condition->mutex);
    struct timespec deadline = deadlineAfter(CLOCK_MONOTONIC, milliseconds);
    return pthread_cond_timedwait(&condition->cond, &condition->mutex, &deadline);
}

extern "C" int c_condition_signal(c_condition_t* condition) {
    return condition == NULL ? EINVAL : pthread_cond_signal(&condition->cond);
}

extern "C" int c_condition_broadcast(c_condition_t* condition) {
    return condition == NULL ? EINVAL : pthread_cond_broadcast(&condition->cond);
}

extern "C" int c_condition_destroy(c_condition_t* condition) {
    if (condition == NULL)
        return EINVAL;
    return destroyPair(&condition->mutex, &condition->cond);
}
