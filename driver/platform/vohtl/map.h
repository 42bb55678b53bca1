// Ordered map with unique keys over the voitl red-black tree.
//
// Each entry is one allocation of the driver's allocator holding the tree
// node, the key and the value. Nothing throws: insert takes a status, does
// nothing when it already holds an error and reports -52000 when no entry can
// be had (the map is then unchanged). Keys are ordered by operator<.
// Nothing locks: the owner serialises access.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <utility>

#include "platform/memory.h"
#include "platform/status.h"
#include "platform/voitl/containing.h"
#include "platform/voitl/rbtree.h"

namespace vohtl::apal {

template <typename Key, typename Value> class Map : public kelvo_driver::nVOAPAL000::tObject {
public:
    struct Entry : public kelvo_driver::nVOAPAL000::tObject {
        Entry(const Key& k, const Value& v) : key(k), value(v) {}
        Entry(const Key& k, Value&& v) : key(k), value(std::move(v)) {}

        voitl_RBNode node;
        const Key key;
        Value value;
    };

    // Forward position in key order: end() is past the largest key.
    class Iterator {
    public:
        Iterator() = default;
        Entry& operator*() const { return *entry_; }
        Entry* operator->() const { return entry_; }
        Iterator& operator++() {
            if (entry_ != nullptr) {
                entry_ = entryOf(voitl_RBTree_getNext(tree_, &entry_->node, voitl_kRBAscending));
            }
            return *this;
        }
        bool operator==(const Iterator& other) const { return entry_ == other.entry_; }
        bool operator!=(const Iterator& other) const { return entry_ != other.entry_; }

    private:
        friend class Map;
        Iterator(const voitl_RBTree* tree, Entry* entry) : tree_(tree), entry_(entry) {}

        const voitl_RBTree* tree_ = nullptr;
        Entry* entry_ = nullptr;
    };

    Map() = default;
    ~Map() { clear(); }
    Map(const Map&) = delete;
    Map& operator=(const Map&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    Iterator begin() const {
        return Iterator(&tree_, entryOf(voitl_RBTree_getNext(&tree_, nullptr, voitl_kRBAscending)));
    }
    Iterator end() const { return Iterator(&tree_, nullptr); }

    // Adds key -> value unless the key is present. True when an entry was
    // added; false when the key was already there (its entry stays as it
    // is) or when the entry could not be allocated.
    bool insert(const Key& key, const Value& value, nVOAPALS100::tStatus& status) {
        if (status.isFatal() || findEntry(key) != nullptr) {
            return false;
        }
        return link(new (status, false) Entry(key, value));
    }
    bool insert(const Key& key, Value&& value, nVOAPALS100::tStatus& status) {
        if (status.isFatal() || findEntry(key) != nullptr) {
            return false;
        }
        return link(new (status, false) Entry(key, std::move(value)));
    }

    Iterator find(const Key& key) const { return Iterator(&tree_, findEntry(key)); }
    bool contains(const Key& key) const { return findEntry(key) != nullptr; }

    // Removes the entry at position (end() is ignored).
    void erase(Iterator position) {
        if (position.entry_ != nullptr) {
            unlinkAndDelete(position.entry_);
        }
    }
    // Removes the key's entry; false when it was absent.
    bool erase(const Key& key) {
        Entry* entry = findEntry(key);
        if (entry == nullptr) {
            return false;
        }
        unlinkAndDelete(entry);
        return true;
    }
    // Removes every entry, smallest key first.
    void clear() {
        while (tree_.root != nullptr) {
            unlinkAndDelete(entryOf(voitl_RBTree_getNext(&tree_, nullptr, voitl_kRBAscending)));
        }
    }

private:
    static Entry* entryOf(voitl_RBNode* node) {
        return node != nullptr ? voitl::getContainingObject<Entry>(node, &Entry::node) : nullptr;
    }
    static const Entry* entryOf(const voitl_RBNode* node) { return entryOf(const_cast<voitl_RBNode*>(node)); }

    static bool lessThan(const voitl_RBNode* node, const voitl_RBNode* other, void*) {
        return entryOf(node)->key < entryOf(other)->key;
    }

    Entry* findEntry(const Key& key) const {
        voitl_RBNode* current = tree_.root;
        while (current != nullptr) {
            Entry* entry = entryOf(current);
            if (key < entry->key) {
                current = current->children[0];
            } else if (entry->key < key) {
                current = current->children[1];
            } else {
                return entry;
            }
        }
        return nullptr;
    }

    bool link(Entry* entry) {
        if (entry == nullptr) {
            return false;
        }
        voitl_RBTree_insert(&tree_, &entry->node, &Map::lessThan, nullptr);
        ++size_;
        return true;
    }

    void unlinkAndDelete(Entry* entry) {
        voitl_RBTree_remove(&tree_, &entry->node);
        --size_;
        delete entry;
    }

    voitl_RBTree tree_;
    size_t size_ = 0;
};

} // namespace vohtl::apal
