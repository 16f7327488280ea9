// An append-only list that readers walk without a lock while writers append.
// Elements never move and nodes are freed only with the list, so a reference
// returned by at() stays valid for the list's life.
#ifndef SETTINGSTORE_SHM_NONBLOCKVECTOR_H
#define SETTINGSTORE_SHM_NONBLOCKVECTOR_H

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include "shm/Messages.h"

namespace storage {

template <class T>
class NonBlockVector {
 public:
  NonBlockVector() = default;
  NonBlockVector(const NonBlockVector&) = delete;
  NonBlockVector& operator=(const NonBlockVector&) = delete;

  ~NonBlockVector() {
    Node* node = first_.load(std::memory_order_acquire);
    while (node != nullptr) {
      Node* next = node->next.load(std::memory_order_acquire);
      delete node;
      node = next;
    }
  }

  // Links the node first and counts it afterwards: a reader that sees a count
  // of n finds at least n linked nodes.
  void PushBack(T element) {
    Node* node = new Node(std::move(element));
    Node* expected = nullptr;
    if (!first_.compare_exchange_strong(expected, node, std::memory_order_acq_rel)) {
      Node* tail = expected;
      for (;;) {
        Node* next = nullptr;
        if (tail->next.compare_exchange_strong(next, node, std::memory_order_acq_rel)) break;
        tail = next;
      }
    }
    count_.fetch_add(1, std::memory_order_release);
  }

  T& At(uint32_t index) const {
    if (index >= Size()) throw std::out_of_range(messages::shm::kVectorOutOfBounds);
    Node* node = first_.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < index && node != nullptr; ++i) node = node->next.load(std::memory_order_acquire);
    if (node == nullptr) throw std::logic_error(messages::shm::kVectorBroken);
    return node->element;
  }

  uint32_t Size() const { return count_.load(std::memory_order_acquire); }

 private:
  struct Node {
    explicit Node(T value) : element(std::move(value)) {}
    T element;
    std::atomic<Node*> next{nullptr};
  };

  std::atomic<uint32_t> count_{0};
  std::atomic<Node*> first_{nullptr};
};

}  // namespace storage

#endif  // SETTINGSTORE_SHM_NONBLOCKVECTOR_H
