// Buffers in whole pages from the system: mapped when taken, unmapped when freed or
// cut, so that their memory is back with the system the moment it is given up.
#include <sys/mman.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

size_t PageSize() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

size_t PageBuffer::Held(size_t size) {
    const size_t page = PageSize();
    return size == 0 ? page : (size + page - 1) / page * page;
}

bool PageBuffer::Allocate(size_t size) {
    Free();
    const size_t bytes = Held(size);
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return false;
    }
    m_data = static_cast<unsigned char*>(memory);
    m_held = bytes;
    return true;
}

void PageBuffer::Shrink(size_t size) {
    const size_t keep = Held(size);
    if (m_data != nullptr && keep < m_held) {
        // Unmapping whole pages inside a mapping of our own cannot fail.
        munmap(m_data + keep, m_held - keep);
        m_held = keep;
    }
}

void PageBuffer::Free() {
    if (m_data != nullptr) {
        munmap(m_data, m_held);
    }
    m_data = nullptr;
    m_held = 0;
}
