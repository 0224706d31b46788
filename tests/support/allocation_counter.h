#pragma once

#include <cstddef>

namespace quorvel::test {

// Counts heap allocations made by the current thread while an instance lives.
// Linked into every test program (it replaces the global operator new).
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t count() const;

private:
    std::size_t start_;
};

}  // namespace quorvel::test
