#include <sys/ipc.h>
#include <sys/shm.h>

#include "kova/kova_shm.h"

// System V segments: thin, so a segment made here is one any other process's shmget finds.

extern "C" int kova_shmget_ex(key_t key, size_t size, int flags) { return shmget(key, size, flags); }

extern "C" int kova_shmget(key_t key, size_t size) { return shmget(key, size, IPC_CREAT | 0600); }

extern "C" void *kova_shmat(int id)
{
    void *address = shmat(id, nullptr, 0);
    return address == reinterpret_cast<void *>(-1) ? nullptr : address;
}

extern "C" int kova_shmdel(int id) { return shmctl(id, IPC_RMID, nullptr); }
