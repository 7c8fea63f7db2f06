#include <cstdint>
#include <utility>

#include "kova/kova_rbtree.h"

// The classic red-black tree over caller-embedded nodes. The parent word carries the colour in
// bit 0; bit 1 belongs to nobody and survives every change of parent.

namespace {

using Node = kova_rb_node_s;

constexpr std::uintptr_t kColourBit = 1;
constexpr std::uintptr_t kFlagBits = 3;

Node *parent_of(const Node *n) { return kova_rb_parent(n); }
bool is_red(const Node *n) { return (n->parent_color & kColourBit) == 0; }
bool is_black_or_null(const Node *n) { return n == nullptr || !is_red(n); }
void set_black(Node *n) { n->parent_color |= kColourBit; }
void set_red(Node *n) { n->parent_color &= ~kColourBit; }
void copy_colour(Node *to, const Node *from)
{
    to->parent_color = (to->parent_color & ~kColourBit) | (from->parent_color & kColourBit);
}
void set_parent(Node *n, Node *parent)
{
    n->parent_color = (n->parent_color & kFlagBits) | reinterpret_cast<std::uintptr_t>(parent);
}

// Points whatever held `old_child` under `parent` (or the root record) at `new_child`.
void change_child(Node *old_child, Node *new_child, Node *parent, kova_rb_root_s *root)
{
    if (parent == nullptr)
        root->node = new_child;
    else if (parent->left == old_child)
        parent->left = new_child;
    else
        parent->right = new_child;
}

// The tree code is written once for the left side; `Side` flips it for the right.
template <bool kLeft>
struct Side {
    static Node *&near(Node *n) { return kLeft ? n->left : n->right; }
    static Node *&far(Node *n) { return kLeft ? n->right : n->left; }
};

// Lifts `node`'s far child into its place, `node` becoming that child's near child.
template <bool kLeft>
void rotate(Node *node, kova_rb_root_s *root)
{
    using S = Side<kLeft>;
    Node *lifted = S::far(node);
    Node *parent = parent_of(node);
    S::far(node) = S::near(lifted);
    if (S::near(lifted) != nullptr) set_parent(S::near(lifted), node);
    S::near(lifted) = node;
    set_parent(lifted, parent);
    change_child(node, lifted, parent, root);
    set_parent(node, lifted);
}

// One step of the insert fix-up where `parent` is the `kLeft` child of `grandparent`. Returns
// the node to continue from.
template <bool kLeft>
Node *insert_step(Node *node, Node *parent, Node *grandparent, kova_rb_root_s *root)
{
    using S = Side<kLeft>;
    Node *uncle = S::far(grandparent);
    if (uncle != nullptr && is_red(uncle)) {
        set_black(uncle);
        set_black(parent);
        set_red(grandparent);
        return grandparent;
    }
    if (S::far(parent) == node) {
        rotate<kLeft>(parent, root);
        std::swap(node, parent);
    }
    set_black(parent);
    set_red(grandparent);
    rotate<!kLeft>(grandparent, root);
    return node;
}

// One step of the erase fix-up where the doubly black `node` is the `kLeft` child of `parent`.
// Returns false when the fix-up is complete.
template <bool kLeft>
bool erase_step(Node *&node, Node *&parent, kova_rb_root_s *root)
{
    using S = Side<kLeft>;
    Node *sibling = S::far(parent);
    if (is_red(sibling)) {
        set_black(sibling);
        set_red(parent);
        rotate<kLeft>(parent, root);
        sibling = S::far(parent);
    }
    if (is_black_or_null(S::near(sibling)) && is_black_or_null(S::far(sibling))) {
        set_red(sibling);
        node = parent;
        parent = parent_of(node);
        return true;
    }
    if (is_black_or_null(S::far(sibling))) {
        set_black(S::near(sibling));
        set_red(sibling);
        rotate<!kLeft>(sibling, root);
        sibling = S::far(parent);
    }
    copy_colour(sibling, parent);
    set_black(parent);
    set_black(S::far(sibling));
    rotate<kLeft>(parent, root);
    node = root->node;
    return false;
}

void erase_fixup(Node *node, Node *parent, kova_rb_root_s *root)
{
    while (is_black_or_null(node) && node != root->node) {
        bool more = parent->left == node ? erase_step<true>(node, parent, root) : erase_step<false>(node, parent, root);
        if (!more) break;
    }
    if (node != nullptr) set_black(node);
}

template <bool kLeft>
Node *extreme(Node *node)
{
    if (node == nullptr) return nullptr;
    while (Side<kLeft>::near(node) != nullptr) node = Side<kLeft>::near(node);
    return node;
}

// The in-order neighbour on the far side: the successor for Side<true>, the predecessor for
// Side<false>.
template <bool kLeft>
Node *neighbour(const Node *node)
{
    if (kova_rb_empty_node(node)) return nullptr;
    using S = Side<kLeft>;
    if (S::far(const_cast<Node *>(node)) != nullptr) return extreme<kLeft>(S::far(const_cast<Node *>(node)));
    Node *parent = parent_of(node);
    while (parent != nullptr && node == S::far(parent)) {
        node = parent;
        parent = parent_of(node);
    }
    return parent;
}

// Recomputes from `node` up to the root: at each level the sibling of the path first (a rotation
// may have changed it), then the parent.
void augment_path(Node *node, kova_rb_augment_fn fn, void *data)
{
    fn(node, data);
    for (Node *parent = parent_of(node); parent != nullptr; node = parent, parent = parent_of(node)) {
        if (node == parent->right)
            fn(parent->left != nullptr ? parent->left : node, data);
        else if (parent->right != nullptr)
            fn(parent->right, data);
        fn(parent, data);
    }
}

}  // namespace

extern "C" void kova_rb_insert_color(kova_rb_node_s *node, kova_rb_root_s *root)
{
    Node *parent;
    while ((parent = parent_of(node)) != nullptr && is_red(parent)) {
        Node *grandparent = parent_of(parent);  // a red node is never the root
        node = parent == grandparent->left ? insert_step<true>(node, parent, grandparent, root)
                                           : insert_step<false>(node, parent, grandparent, root);
    }
    set_black(root->node);
}

extern "C" void kova_rb_erase(kova_rb_node_s *node, kova_rb_root_s *root)
{
    Node *child;
    Node *parent;
    bool removed_black;
    if (node->left == nullptr || node->right == nullptr) {
        child = node->left != nullptr ? node->left : node->right;
        parent = parent_of(node);
        removed_black = !is_red(node);
        if (child != nullptr) set_parent(child, parent);
        change_child(node, child, parent, root);
    } else {
        // The successor takes the node's place, colour and all; the successor's old place (it
        // has no left child) is the one that disappears.
        Node *successor = extreme<true>(node->right);
        change_child(node, successor, parent_of(node), root);
        child = successor->right;
        parent = parent_of(successor);
        removed_black = !is_red(successor);
        if (parent == node) {
            parent = successor;
        } else {
            if (child != nullptr) set_parent(child, parent);
            parent->left = child;
            successor->right = node->right;
            set_parent(node->right, successor);
        }
        successor->parent_color = node->parent_color;
        successor->left = node->left;
        set_parent(node->left, successor);
    }
    if (removed_black) erase_fixup(child, parent, root);
}

extern "C" kova_rb_node_s *kova_rb_first(const kova_rb_root_s *root) { return extreme<true>(root->node); }

extern "C" kova_rb_node_s *kova_rb_last(const kova_rb_root_s *root) { return extreme<false>(root->node); }

extern "C" kova_rb_node_s *kova_rb_next(const kova_rb_node_s *node) { return neighbour<true>(node); }

extern "C" kova_rb_node_s *kova_rb_prev(const kova_rb_node_s *node) { return neighbour<false>(node); }

extern "C" void kova_rb_replace_node(kova_rb_node_s *victim, kova_rb_node_s *replacement, kova_rb_root_s *root)
{
    change_child(victim, replacement, parent_of(victim), root);
    if (victim->left != nullptr) set_parent(victim->left, replacement);
    if (victim->right != nullptr) set_parent(victim->right, replacement);
    *replacement = *victim;
}

extern "C" void kova_rb_augment_insert(kova_rb_node_s *node, kova_rb_augment_fn fn, void *data)
{
    Node *start = node->left != nullptr ? node->left : node->right != nullptr ? node->right : node;
    augment_path(start, fn, data);
}

extern "C" kova_rb_node_s *kova_rb_augment_erase_begin(kova_rb_node_s *node)
{
    if (node->left == nullptr && node->right == nullptr) return parent_of(node);
    if (node->left == nullptr) return node->right;
    if (node->right == nullptr) return node->left;
    Node *successor = kova_rb_next(node);
    if (successor->right != nullptr) return successor->right;
    Node *parent = parent_of(successor);
    return parent != node ? parent : successor;
}

extern "C" void kova_rb_augment_erase_end(kova_rb_node_s *node, kova_rb_augment_fn fn, void *data)
{
    if (node != nullptr) augment_path(node, fn, data);
}
