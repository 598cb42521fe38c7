// Size-keyed red-black tree with same-size chains: the plain C++ core of
// korvane.memory.block_index. Knows nothing of Python: a payload is an opaque
// pointer-like value and node memory comes from an allocator policy.
//
// Every distinct size owns one tree node; further payloads of that size hang
// off it through `next` (chain nodes are never linked into the tree). Chain
// order of one size: the tree node's own payload, then next, next->next, ...
// A new payload of a present size goes second in chain order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace kv::rb {

enum Color : int32_t { RED = 0, BLACK = 1 };

template <class Payload>
struct Node {
  Node* parent;
  Node* left;
  Node* right;
  int32_t color;
  uint64_t size;
  Payload block;
  Node* next;
};

// Alloc: struct with `static void* allocate(std::size_t) noexcept` (null on
// failure) and `static void release(void*) noexcept`.
template <class Payload, class Alloc>
class Tree {
 public:
  using NodeT = Node<Payload>;

  Tree() noexcept = default;
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  NodeT* root() const noexcept { return root_; }
  uint64_t count() const noexcept { return count_; }

  // Exact lookup among tree nodes.
  NodeT* find(uint64_t size) const noexcept {
    NodeT* n = root_;
    while (n) {
      if (size == n->size) return n;
      n = size < n->size ? n->left : n->right;
    }
    return nullptr;
  }

  // The tree node of the smallest size >= `size`, or null.
  NodeT* best_fit(uint64_t size) const noexcept {
    NodeT* cand = nullptr;
    NodeT* n = root_;
    while (n) {
      if (n->size < size) {
        n = n->right;
      } else {
        cand = n;  // sizes are unique, so each step left only shrinks it
        n = n->left;
      }
    }
    return cand;
  }

  // Stores `block` under `size`. False (and nothing changed) when the node
  // cannot be allocated; the caller owns `block` until this returns true.
  bool insert(uint64_t size, Payload block) noexcept {
    NodeT* existing = find(size);
    NodeT* z = make_node(size, block);
    if (!z) return false;
    if (existing) {
      z->next = existing->next;
      existing->next = z;
    } else if (!root_) {
      root_ = z;
      z->color = BLACK;
    } else {
      NodeT* p = root_;
      for (;;) {
        NodeT*& link = size < p->size ? p->left : p->right;
        if (!link) {
          link = z;
          z->parent = p;
          break;
        }
        p = link;
      }
      fixup_insert(z);
    }
    ++count_;
    return true;
  }

  // Removes the first payload of `n`'s size in chain order and returns it
  // (ownership passes to the caller). `n` must be a tree node of this tree;
  // it is freed unless a chained payload is promoted into it.
  Payload take_front(NodeT* n) noexcept {
    Payload out = n->block;
    if (NodeT* r = n->next) {
      // Promotion: the tree node keeps its place, so no rebalancing.
      n->next = r->next;
      n->block = r->block;
      free_node(r);
    } else {
      unlink(n);
      free_node(n);
    }
    --count_;
    return out;
  }

  // Removes prev->next (a chain node) and returns its payload.
  Payload take_after(NodeT* prev) noexcept {
    NodeT* cur = prev->next;
    Payload out = cur->block;
    prev->next = cur->next;
    free_node(cur);
    --count_;
    return out;
  }

  // Empties the tree and hands back the old root; the caller frees that
  // subtree with free_subtree() once it is safe to release payloads.
  NodeT* detach() noexcept {
    NodeT* r = root_;
    root_ = nullptr;
    count_ = 0;
    return r;
  }

  // Frees a detached subtree with all its chains, calling on_payload(p) for
  // each payload after its node is freed. The nodes form a private list by
  // then, so on_payload may run arbitrary code (even against the tree).
  template <class F>
  static void free_subtree(NodeT* n, F&& on_payload) {
    // Flatten into a list threaded through `parent` without recursion.
    NodeT* list = nullptr;
    NodeT* stack = n;
    if (stack) stack->parent = nullptr;
    while (stack) {
      NodeT* t = stack;
      stack = t->parent;
      if (t->left) {
        t->left->parent = stack;
        stack = t->left;
      }
      if (t->right) {
        t->right->parent = stack;
        stack = t->right;
      }
      for (NodeT* c = t->next; c;) {
        NodeT* nx = c->next;
        c->parent = list;
        list = c;
        c = nx;
      }
      t->parent = list;
      list = t;
    }
    while (list) {
      NodeT* nx = list->parent;
      Payload p = list->block;
      free_node(list);
      on_payload(p);
      list = nx;
    }
  }

  static int32_t height(const NodeT* n) noexcept {
    if (!n) return 0;
    int32_t l = height(n->left), r = height(n->right);
    return 1 + (l > r ? l : r);
  }

  static uint64_t chain_length(const NodeT* n) noexcept {
    uint64_t c = 0;
    for (; n; n = n->next) ++c;
    return c;
  }

  // Pre-order walk over tree nodes (node, left, right); stops when f
  // returns false and reports whether the walk finished.
  template <class F>
  static bool preorder(const NodeT* n, F&& f) {
    if (!n) return true;
    if (!f(n)) return false;
    return preorder(n->left, f) && preorder(n->right, f);
  }

  // Checks order, parent links, colours and black heights. Returns an
  // empty string when sound, else what is wrong.
  const char* check() const noexcept {
    if (root_ && root_->parent) return "root has a parent";
    if (root_ && root_->color != BLACK) return "root is red";
    uint64_t n = 0;
    const char* err = nullptr;
    check_rec(root_, nullptr, nullptr, &n, &err);
    if (err) return err;
    if (n != count_) return "node count mismatch";
    return "";
  }

 private:
  static NodeT* make_node(uint64_t size, Payload block) noexcept {
    void* mem = Alloc::allocate(sizeof(NodeT));
    if (!mem) return nullptr;
    NodeT* z = static_cast<NodeT*>(mem);
    z->parent = z->left = z->right = nullptr;
    z->color = RED;
    z->size = size;
    z->block = block;
    z->next = nullptr;
    return z;
  }

  static void free_node(NodeT* n) noexcept { Alloc::release(n); }

  static bool is_red(const NodeT* n) noexcept { return n && n->color == RED; }

  void replace_child(NodeT* parent, NodeT* old, NodeT* repl) noexcept {
    if (!parent)
      root_ = repl;
    else if (parent->left == old)
      parent->left = repl;
    else
      parent->right = repl;
  }

  void rotate_left(NodeT* x) noexcept {
    NodeT* y = x->right;
    x->right = y->left;
    if (y->left) y->left->parent = x;
    y->parent = x->parent;
    replace_child(x->parent, x, y);
    y->left = x;
    x->parent = y;
  }

  void rotate_right(NodeT* x) noexcept {
    NodeT* y = x->left;
    x->left = y->right;
    if (y->right) y->right->parent = x;
    y->parent = x->parent;
    replace_child(x->parent, x, y);
    y->right = x;
    x->parent = y;
  }

  void fixup_insert(NodeT* z) noexcept {
    while (z->parent && z->parent->color == RED) {
      NodeT* p = z->parent;
      NodeT* g = p->parent;  // a red parent is never the root
      if (p == g->left) {
        NodeT* u = g->right;
        if (is_red(u)) {
          p->color = BLACK;
          u->color = BLACK;
          g->color = RED;
          z = g;
        } else {
          if (z == p->right) {
            z = p;
            rotate_left(z);
          }
          z->parent->color = BLACK;
          z->parent->parent->color = RED;
          rotate_right(z->parent->parent);
        }
      } else {
        NodeT* u = g->left;
        if (is_red(u)) {
          p->color = BLACK;
          u->color = BLACK;
          g->color = RED;
          z = g;
        } else {
          if (z == p->left) {
            z = p;
            rotate_right(z);
          }
          z->parent->color = BLACK;
          z->parent->parent->color = RED;
          rotate_left(z->parent->parent);
        }
      }
    }
    root_->color = BLACK;
  }

  void transplant(NodeT* u, NodeT* v) noexcept {
    replace_child(u->parent, u, v);
    if (v) v->parent = u->parent;
  }

  static NodeT* minimum(NodeT* n) noexcept {
    while (n->left) n = n->left;
    return n;
  }

  // Complete red-black removal of tree node z (not freed here). The parent
  // of the replacing child is tracked so that the repair also runs when
  // that child is null.
  void unlink(NodeT* z) noexcept {
    NodeT* x;
    NodeT* xp;
    int32_t removed = z->color;
    if (!z->left) {
      x = z->right;
      xp = z->parent;
      transplant(z, z->right);
    } else if (!z->right) {
      x = z->left;
      xp = z->parent;
      transplant(z, z->left);
    } else {
      NodeT* y = minimum(z->right);
      removed = y->color;
      x = y->right;
      if (y->parent != z) {
        xp = y->parent;
        transplant(y, y->right);
        y->right = z->right;
        y->right->parent = y;
      } else {
        xp = y;
      }
      transplant(z, y);
      y->left = z->left;
      y->left->parent = y;
      y->color = z->color;
    }
    if (removed == BLACK) fixup_delete(x, xp);
  }

  void fixup_delete(NodeT* x, NodeT* xp) noexcept {
    while (x != root_ && !is_red(x)) {
      if (x == xp->left) {
        NodeT* w = xp->right;  // non-null: x's side is one black short
        if (is_red(w)) {
          w->color = BLACK;
          xp->color = RED;
          rotate_left(xp);
          w = xp->right;
        }
        if (!is_red(w->left) && !is_red(w->right)) {
          w->color = RED;
          x = xp;
          xp = x->parent;
        } else {
          if (!is_red(w->right)) {
            w->left->color = BLACK;
            w->color = RED;
            rotate_right(w);
            w = xp->right;
          }
          w->color = xp->color;
          xp->color = BLACK;
          if (w->right) w->right->color = BLACK;
          rotate_left(xp);
          x = root_;
          xp = nullptr;
        }
      } else {
        NodeT* w = xp->left;
        if (is_red(w)) {
          w->color = BLACK;
          xp->color = RED;
          rotate_right(xp);
          w = xp->left;
        }
        if (!is_red(w->left) && !is_red(w->right)) {
          w->color = RED;
          x = xp;
          xp = x->parent;
        } else {
          if (!is_red(w->left)) {
            w->right->color = BLACK;
            w->color = RED;
            rotate_left(w);
            w = xp->left;
          }
          w->color = xp->color;
          xp->color = BLACK;
          if (w->left) w->left->color = BLACK;
          rotate_right(xp);
          x = root_;
          xp = nullptr;
        }
      }
    }
    if (x) x->color = BLACK;
  }

  // Returns the black height of n's subtree (null links count 1).
  static int check_rec(const NodeT* n, const uint64_t* lo, const uint64_t* hi, uint64_t* count,
                       const char** err) noexcept {
    if (!n) return 1;
    if (*err) return 0;
    if ((lo && n->size <= *lo) || (hi && n->size >= *hi)) {
      *err = "order violated";
      return 0;
    }
    if (n->left && n->left->parent != n) {
      *err = "bad parent link";
      return 0;
    }
    if (n->right && n->right->parent != n) {
      *err = "bad parent link";
      return 0;
    }
    if (n->color == RED && (is_red(n->left) || is_red(n->right))) {
      *err = "red node with red child";
      return 0;
    }
    for (const NodeT* c = n->next; c; c = c->next) {
      if (c->size != n->size || c->left || c->right || c->parent) {
        *err = "bad chain node";
        return 0;
      }
    }
    *count += chain_length(n);
    int l = check_rec(n->left, lo, &n->size, count, err);
    int r = check_rec(n->right, &n->size, hi, count, err);
    if (*err) return 0;
    if (l != r) {
      *err = "black heights differ";
      return 0;
    }
    return l + (n->color == BLACK ? 1 : 0);
  }

  NodeT* root_ = nullptr;
  uint64_t count_ = 0;
};

}  // namespace kv::rb
