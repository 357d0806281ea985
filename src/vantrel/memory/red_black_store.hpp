// Size-keyed red-black store of opaque blocks, the algorithm under the block
// index. Plain C++: no interpreter types appear here.
//
// Rules of use:
// - The store synchronises nothing. Its owner serialises every call (the block
//   index holds its tree lock); only destruction runs unguarded, when nothing
//   else can reach the store.
// - A block is an opaque value (a pointer to a reference-counted object in the
//   block index). `link` takes over the caller's reference only when it returns
//   true. Removals hand the block they detach back to the caller, who then owns
//   that reference: releasing it may run arbitrary code (a finaliser that
//   inserts into the same store), so the caller releases it after it has let
//   go of its lock. Only the destructor releases blocks itself, through
//   Policy::release; to release a whole tree outside a lock, swap it into a
//   local store under the lock and let the local one go after leaving it.
// - Node memory comes from Policy::allocate / Policy::deallocate, so the owner
//   decides which allocator sees the nodes.
// - Blocks of one size share one tree node: the first block of a size lives in
//   the tree node, later ones hang behind it in a chain that reads
//   head, then the others from the most recently linked to the earliest linked.
// - The recursive walks (release, height, histogram) go no deeper than the tree
//   height, at most 2 * log2(distinct sizes + 1).
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace vantrel::memory {

// Node memory and block release for a RedBlackStore. `allocate` returns null
// on failure; neither `deallocate` nor `release` may fail.
template <typename Policy, typename Block>
concept RedBlackStorePolicy = requires(std::size_t bytes, void* memory, Block block) {
    { Policy::allocate(bytes) } noexcept -> std::same_as<void*>;
    { Policy::deallocate(memory) } noexcept;
    { Policy::release(block) } noexcept;
};

template <typename Block, typename Policy>
    requires RedBlackStorePolicy<Policy, Block>
class RedBlackStore {
public:
    static constexpr std::int32_t red = 0;
    static constexpr std::int32_t black = 1;

    // One node per stored block. A chain member keeps parent, left and right
    // null and its colour red; only `next`, `size` and `block` mean anything.
    struct Node {
        Node* parent;
        Node* left;   // smaller sizes
        Node* right;  // larger sizes
        std::int32_t color;
        std::uint64_t size;
        Block block;  // owned reference
        Node* next;   // next block of the same size
    };
    static_assert(sizeof(Node) <= 56, "one stored block must cost at most 56 bytes");

    RedBlackStore() noexcept = default;
    RedBlackStore(const RedBlackStore&) = delete;
    RedBlackStore& operator=(const RedBlackStore&) = delete;
    RedBlackStore(RedBlackStore&& other) noexcept : root_(std::exchange(other.root_, nullptr)) {}
    RedBlackStore& operator=(RedBlackStore&& other) noexcept {
        RedBlackStore(std::move(other)).swap(*this);
        return *this;
    }
    ~RedBlackStore() { release_subtree(root_); }

    void swap(RedBlackStore& other) noexcept { std::swap(root_, other.root_); }
    bool empty() const noexcept { return root_ == nullptr; }

    // The tree node of exactly `size` (the head of its chain), or null.
    Node* find_node(std::uint64_t size) const noexcept {
        Node* node = root_;
        while (node != nullptr) {
            if (size == node->size) return node;
            node = size < node->size ? node->left : node->right;
        }
        return nullptr;
    }

    // The tree node of the smallest stored size not below `size`, or null.
    // Sizes in the tree are distinct, so an exact match ends the walk.
    Node* find_best_fit_node(std::uint64_t size) const noexcept {
        Node* candidate = nullptr;
        for (Node* node = root_; node != nullptr;) {
            if (node->size >= size) {
                if (node->size == size) return node;
                if (candidate == nullptr || node->size < candidate->size) candidate = node;
                node = node->left;
            } else {
                node = node->right;
            }
        }
        return candidate;
    }

    // Stores `block` under `size`, behind the tree node of that size when there
    // is one (no rebalancing), else as a new tree node. Returns false, with the
    // block not taken and nothing changed, when node memory is exhausted.
    bool link(std::uint64_t size, Block block) noexcept {
        Node* existing = find_node(size);
        Node* node = allocate_node(size, block);
        if (node == nullptr) return false;
        if (existing != nullptr) {
            node->next = existing->next;
            existing->next = node;
            return true;
        }
        if (root_ == nullptr) {
            node->color = black;
            root_ = node;
            return true;
        }
        Node* parent = root_;
        for (;;) {
            Node*& slot = size < parent->size ? parent->left : parent->right;
            if (slot == nullptr) {
                node->parent = parent;
                slot = node;
                break;
            }
            parent = slot;
        }
        fixup_insert(node);
        return true;
    }

    // Removes the head's own block from the tree node `head` and returns it.
    // The most recently linked chain member, if any, moves its block into the
    // head (shape and colours unchanged); otherwise the tree node goes.
    Block remove_head(Node* head) noexcept {
        Block removed = head->block;
        if (Node* replacement = head->next) {
            head->next = replacement->next;
            head->block = replacement->block;
            Policy::deallocate(replacement);
        } else {
            delete_node(head);
        }
        return removed;
    }

    // Unlinks the chain member behind `prev` (a head or a chain member with a
    // successor) and returns its block.
    Block unlink_after(Node* prev) noexcept {
        Node* member = prev->next;
        prev->next = member->next;
        Block removed = member->block;
        Policy::deallocate(member);
        return removed;
    }

    // Number of tree nodes on the longest root-to-leaf path; chains do not count.
    std::int32_t height() const noexcept { return compute_height(root_); }

    // Calls visitor(size, blocks of that size) once per stored size, in
    // pre-order: a node, then its left subtree, then its right subtree. The
    // visitor may throw; the store is left as it was.
    template <typename Visitor>
    void visit_sizes_preorder(Visitor&& visitor) const {
        visit_preorder(root_, visitor);
    }

private:
    Node* root_ = nullptr;

    static bool is_red(const Node* node) noexcept { return node != nullptr && node->color == red; }

    static Node* allocate_node(std::uint64_t size, Block block) noexcept {
        void* memory = Policy::allocate(sizeof(Node));
        if (memory == nullptr) return nullptr;
        return new (memory) Node{nullptr, nullptr, nullptr, red, size, block, nullptr};
    }

    // Releases a detached subtree: left, right, the chain, then the node.
    static void release_subtree(Node* node) noexcept {
        if (node == nullptr) return;
        release_subtree(node->left);
        release_subtree(node->right);
        for (Node* member = node->next; member != nullptr;) {
            Node* following = member->next;
            Policy::release(member->block);
            Policy::deallocate(member);
            member = following;
        }
        Policy::release(node->block);
        Policy::deallocate(node);
    }

    static std::int32_t compute_height(const Node* node) noexcept {
        if (node == nullptr) return 0;
        return 1 + std::max(compute_height(node->left), compute_height(node->right));
    }

    template <typename Visitor>
    static void visit_preorder(const Node* node, Visitor& visitor) {
        if (node == nullptr) return;
        std::uint64_t count = 1;
        for (const Node* member = node->next; member != nullptr; member = member->next) ++count;
        visitor(node->size, count);
        visit_preorder(node->left, visitor);
        visit_preorder(node->right, visitor);
    }

    static Node* minimum(Node* node) noexcept {
        while (node->left != nullptr) node = node->left;
        return node;
    }

    // Puts `replacement` where `child` hangs under `child->parent` (or at the root).
    void replace_child(Node* child, Node* replacement) noexcept {
        Node* parent = child->parent;
        if (parent == nullptr) {
            root_ = replacement;
        } else if (child == parent->left) {
            parent->left = replacement;
        } else {
            parent->right = replacement;
        }
    }

    // A child slot. The rebalancing steps name the side they work on `near`
    // and the other `far`, so one body serves a step and its mirror image.
    using Side = Node* Node::*;

    static Side other(Side side) noexcept { return side == &Node::left ? &Node::right : &Node::left; }

    // Rotates `x` down towards `near`; its `far` child takes its place.
    // rotate(x, &Node::left, &Node::right) is the left rotation.
    void rotate(Node* x, Side near, Side far) noexcept {
        Node* y = x->*far;
        x->*far = y->*near;
        if (y->*near != nullptr) (y->*near)->parent = x;
        y->parent = x->parent;
        replace_child(x, y);
        y->*near = x;
        x->parent = y;
    }

    void fixup_insert(Node* z) noexcept {
        while (z->parent != nullptr && z->parent->color == red) {
            Node* p = z->parent;
            Node* g = p->parent;
            const Side near = p == g->left ? &Node::left : &Node::right;  // where p hangs under g
            const Side far = other(near);
            Node* uncle = g->*far;
            if (is_red(uncle)) {
                p->color = black;
                uncle->color = black;
                g->color = red;
                z = g;
                continue;
            }
            if (z == p->*far) {
                z = p;
                rotate(z, near, far);
            }
            z->parent->color = black;
            z->parent->parent->color = red;
            rotate(z->parent->parent, far, near);
        }
        root_->color = black;
    }

    void transplant(Node* u, Node* v) noexcept {
        replace_child(u, v);
        if (v != nullptr) v->parent = u->parent;
    }

    // Unlinks and frees the tree node `z`, whose chain is empty; its block has
    // already been handed to the caller.
    void delete_node(Node* z) noexcept {
        std::int32_t removed_color = z->color;
        Node* x;
        Node* x_parent;
        if (z->left == nullptr) {
            x = z->right;
            x_parent = z->parent;
            transplant(z, z->right);
        } else if (z->right == nullptr) {
            x = z->left;
            x_parent = z->parent;
            transplant(z, z->left);
        } else {
            Node* y = minimum(z->right);
            removed_color = y->color;
            x = y->right;
            if (y->parent == z) {
                x_parent = y;
                if (x != nullptr) x->parent = y;
            } else {
                x_parent = y->parent;
                transplant(y, y->right);
                y->right = z->right;
                y->right->parent = y;
            }
            transplant(z, y);
            y->left = z->left;
            y->left->parent = y;
            y->color = z->color;
        }
        if (removed_color == black) fixup_delete(x, x_parent);
        Policy::deallocate(z);
    }

    // Restores the colouring after a black node left the position now held by
    // `x` (possibly null) under `x_parent`. The null-sibling branches cannot be
    // reached while the tree is a red-black tree; they only keep the walk safe.
    void fixup_delete(Node* x, Node* x_parent) noexcept {
        while (x != root_ && !is_red(x)) {
            // A null x counts as the left child when x_parent's left slot is empty.
            const Side near = x == x_parent->left ? &Node::left : &Node::right;
            const Side far = other(near);
            Node* w = x_parent->*far;
            if (is_red(w)) {
                w->color = black;
                x_parent->color = red;
                rotate(x_parent, near, far);
                w = x_parent->*far;
            }
            if (w == nullptr) {
                x = x_parent;
                x_parent = x->parent;
                continue;
            }
            if (!is_red(w->left) && !is_red(w->right)) {
                w->color = red;
                x = x_parent;
                x_parent = x->parent;
                continue;
            }
            if (!is_red(w->*far)) {
                (w->*near)->color = black;
                w->color = red;
                rotate(w, far, near);
                w = x_parent->*far;
            }
            w->color = x_parent->color;
            x_parent->color = black;
            if (w->*far != nullptr) (w->*far)->color = black;
            rotate(x_parent, near, far);
            x = root_;
        }
        if (x != nullptr) x->color = black;
    }
};

}  // namespace vantrel::memory
