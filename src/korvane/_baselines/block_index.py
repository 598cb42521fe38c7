"""Pure-Python equivalent of korvane.memory.block_index.

Same API and results as the native module (the same red-black algorithms, so
heights and the distribution's key order agree), written in plain Python for
benchmarks and for the main job when the native module is unavailable.
"""
from __future__ import annotations

import itertools
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from korvane.memory.block_record import MemoryBlock

__all__ = ["FastRedBlackTree", "MemoryBlock", "MAX_RETRIES"]

MAX_RETRIES = 100
RED, BLACK = 0, 1
_UINT64_LIMIT = 1 << 64
_UINT32_LIMIT = 1 << 32


def _stats_dict() -> Dict[str, int]:
    return {"total_blocks": 0, "total_insertions": 0, "total_deletions": 0,
            "total_searches": 0, "bucket_hits": 0, "tree_hits": 0,
            "operation_count": 0}


def _as_int(name: str, value: Any) -> int:
    if type(value) is int:
        return value
    if isinstance(value, (int, float)) or hasattr(type(value), "__int__"):
        return int(value)
    raise TypeError(f"Argument '{name}' has incorrect type "
                    f"(expected int, got {type(value).__name__})")


def _as_key(value: Any) -> int:
    if value is not None and type(value) is not int:
        if isinstance(value, (int, float)):
            value = int(value)
        else:
            raise TypeError(f"Expected int, got {type(value).__name__}")
    if value is None or not 0 <= value < _UINT64_LIMIT:
        if value is not None and value < 0:
            raise OverflowError("can't convert negative value to uint64_t")
        if value is None:
            raise TypeError("an integer is required")
        raise OverflowError("int too big to convert")
    return value


class _Node:
    __slots__ = ("parent", "left", "right", "color", "size", "blocks")

    def __init__(self, size: int, block: Any) -> None:
        self.parent = self.left = self.right = None
        self.color = RED
        self.size = size
        self.blocks = [block]   # chain order


class FastRedBlackTree:
    """Red-black tree of free blocks keyed by size (pure-Python equivalent).

    One writer at a time under a lock; readers validate against a sequence
    counter and retry a bounded number of times.
    """

    def __init__(self, sample_rate: int = 100) -> None:
        if not isinstance(sample_rate, int):
            sample_rate = int(sample_rate)
        if sample_rate < 0:
            raise OverflowError("can't convert negative value to uint32_t")
        if sample_rate >= _UINT32_LIMIT:
            raise OverflowError("value too large to convert to uint32_t")
        self._root: Optional[_Node] = None
        self._node_count = 0
        self._write_lock = threading.Lock()
        self._writer: Optional[int] = None
        self._seq = 0
        self._sample_rate = sample_rate
        self._op_counter = itertools.count(1)
        self._sampled = 0
        self._stats_lock = threading.Lock()
        self._stats = _stats_dict()

    @staticmethod
    def _sanitize_size(size: int) -> int:
        """Validate size."""
        size = _as_int("size", size)
        if size == 0:
            return 0
        if size < 0:
            raise ValueError(f"Invalid size: {size}")
        return size

    # -- write bracket -------------------------------------------------
    def _enter(self) -> None:
        if self._writer == threading.get_ident():
            raise RuntimeError("FastRedBlackTree is already being modified by this thread")
        self._write_lock.acquire()
        self._writer = threading.get_ident()
        self._seq += 1

    def _leave(self) -> None:
        self._seq += 1
        self._writer = None
        self._write_lock.release()

    # -- tree algorithms -----------------------------------------------
    def _find(self, size: int) -> Optional[_Node]:
        n = self._root
        while n is not None:
            if size == n.size:
                return n
            n = n.left if size < n.size else n.right
        return None

    def _best_fit(self, size: int) -> Optional[_Node]:
        cand = None
        n = self._root
        while n is not None:
            if n.size < size:
                n = n.right
            else:
                cand = n
                n = n.left
        return cand

    def _replace_child(self, parent, old, new) -> None:
        if parent is None:
            self._root = new
        elif parent.left is old:
            parent.left = new
        else:
            parent.right = new

    def _rotate_left(self, x: _Node) -> None:
        y = x.right
        x.right = y.left
        if y.left is not None:
            y.left.parent = x
        y.parent = x.parent
        self._replace_child(x.parent, x, y)
        y.left = x
        x.parent = y

    def _rotate_right(self, x: _Node) -> None:
        y = x.left
        x.left = y.right
        if y.right is not None:
            y.right.parent = x
        y.parent = x.parent
        self._replace_child(x.parent, x, y)
        y.right = x
        x.parent = y

    def _link(self, size: int, block: Any) -> None:
        existing = self._find(size)
        if existing is not None:
            existing.blocks.insert(1, block)
            return
        z = _Node(size, block)
        if self._root is None:
            z.color = BLACK
            self._root = z
            return
        p = self._root
        while True:
            if size < p.size:
                if p.left is None:
                    p.left = z
                    break
                p = p.left
            else:
                if p.right is None:
                    p.right = z
                    break
                p = p.right
        z.parent = p
        while z.parent is not None and z.parent.color == RED:
            p = z.parent
            g = p.parent
            if p is g.left:
                u = g.right
                if u is not None and u.color == RED:
                    p.color = u.color = BLACK
                    g.color = RED
                    z = g
                else:
                    if z is p.right:
                        z = p
                        self._rotate_left(z)
                    z.parent.color = BLACK
                    z.parent.parent.color = RED
                    self._rotate_right(z.parent.parent)
            else:
                u = g.left
                if u is not None and u.color == RED:
                    p.color = u.color = BLACK
                    g.color = RED
                    z = g
                else:
                    if z is p.left:
                        z = p
                        self._rotate_right(z)
                    z.parent.color = BLACK
                    z.parent.parent.color = RED
                    self._rotate_left(z.parent.parent)
        self._root.color = BLACK

    def _transplant(self, u: _Node, v: Optional[_Node]) -> None:
        self._replace_child(u.parent, u, v)
        if v is not None:
            v.parent = u.parent

    def _unlink(self, z: _Node) -> None:
        removed = z.color
        if z.left is None:
            x, xp = z.right, z.parent
            self._transplant(z, z.right)
        elif z.right is None:
            x, xp = z.left, z.parent
            self._transplant(z, z.left)
        else:
            y = z.right
            while y.left is not None:
                y = y.left
            removed = y.color
            x = y.right
            if y.parent is not z:
                xp = y.parent
                self._transplant(y, y.right)
                y.right = z.right
                y.right.parent = y
            else:
                xp = y
            self._transplant(z, y)
            y.left = z.left
            y.left.parent = y
            y.color = z.color
        if removed == BLACK:
            self._fixup_delete(x, xp)

    def _fixup_delete(self, x, xp) -> None:
        def red(n):
            return n is not None and n.color == RED
        while x is not self._root and not red(x):
            if x is xp.left:
                w = xp.right
                if red(w):
                    w.color = BLACK
                    xp.color = RED
                    self._rotate_left(xp)
                    w = xp.right
                if not red(w.left) and not red(w.right):
                    w.color = RED
                    x, xp = xp, xp.parent
                else:
                    if not red(w.right):
                        w.left.color = BLACK
                        w.color = RED
                        self._rotate_right(w)
                        w = xp.right
                    w.color = xp.color
                    xp.color = BLACK
                    if w.right is not None:
                        w.right.color = BLACK
                    self._rotate_left(xp)
                    x, xp = self._root, None
            else:
                w = xp.left
                if red(w):
                    w.color = BLACK
                    xp.color = RED
                    self._rotate_right(xp)
                    w = xp.left
                if not red(w.left) and not red(w.right):
                    w.color = RED
                    x, xp = xp, xp.parent
                else:
                    if not red(w.left):
                        w.right.color = BLACK
                        w.color = RED
                        self._rotate_left(w)
                        w = xp.left
                    w.color = xp.color
                    xp.color = BLACK
                    if w.left is not None:
                        w.left.color = BLACK
                    self._rotate_right(xp)
                    x, xp = self._root, None
        if x is not None:
            x.color = BLACK

    def _take_front(self, node: _Node) -> Any:
        block = node.blocks.pop(0)
        if not node.blocks:
            self._unlink(node)
        return block

    # -- public surface ----------------------------------------------------
    def insert(self, size: int, block: MemoryBlock) -> bool:
        size = _as_key(self._sanitize_size(_as_int("size", size)))
        if self._writer == threading.get_ident():
            raise RuntimeError("FastRedBlackTree is already being modified by this thread")
        sample = False
        count = next(self._op_counter)
        if self._sample_rate:
            sample = count % self._sample_rate == 0
        self._enter()
        try:
            self._link(size, block)
            self._node_count += 1
            s = self._stats
            s["total_blocks"] += 1
            s["total_insertions"] += 1
            s["operation_count"] += 1
            if sample:
                self._sampled += 1
        finally:
            self._leave()
        return True

    def _validated(self, size: Any) -> Optional[int]:
        size = _as_int("size", size)
        try:
            size = self._sanitize_size(size)
        except ValueError:
            return None
        return _as_key(size)

    def find_best_fit(self, size: int, alignment: int = 1) -> Optional[MemoryBlock]:
        size = _as_int("size", size)            # arguments convert in order
        _as_int("alignment", alignment)
        key = self._validated(size)
        if key is None:
            return None
        for _ in range(MAX_RETRIES):
            start = self._seq
            if start & 1:
                time.sleep(0.0001)
                continue
            node = self._best_fit(key)
            if self._seq == start:
                block = None if node is None else node.blocks[0]
                self._stats["total_searches"] += 1
                return block
        return None

    def find_all_exact(self, size: int) -> List[MemoryBlock]:
        key = self._validated(size)
        if key is None:
            return []
        for _ in range(MAX_RETRIES):
            start = self._seq
            if start & 1:
                time.sleep(0.0001)
                continue
            node = self._find(key)
            if self._seq == start:
                result = [] if node is None else list(node.blocks)
                self._stats["total_searches"] += 1
                return result
        return []

    def delete(self, size: int, block: MemoryBlock) -> bool:
        key = self._validated(size)
        if key is None:
            return False
        dropped = None
        self._enter()
        try:
            node = self._find(key)
            if node is None:
                return False
            for i, stored in enumerate(node.blocks):
                if stored == block:
                    dropped = node.blocks.pop(i)
                    if not node.blocks:
                        self._unlink(node)
                    break
            else:
                return False
            self._node_count -= 1
            self._stats["total_blocks"] -= 1
            self._stats["total_deletions"] += 1
            return True
        finally:
            self._leave()
            del dropped   # released after the lock is given back

    def remove_ge(self, size: int) -> Tuple[Optional[int], Optional[MemoryBlock]]:
        key = self._validated(size)
        if key is None:
            return (None, None)
        self._enter()
        try:
            node = self._best_fit(key)
            if node is None:
                return (None, None)
            found = node.size
            block = self._take_front(node)
            self._node_count -= 1
            self._stats["total_blocks"] -= 1
            self._stats["total_deletions"] += 1
            return (found, block)
        finally:
            self._leave()

    def get_stats(self) -> Dict[str, Any]:
        """Get tree statistics."""
        with self._stats_lock:
            stats = dict(self._stats)
            stats["node_count"] = self._node_count
            stats["height"] = self._height(self._root)
            stats["sampled_operations"] = self._sampled
            stats["is_valid"] = True
            return stats

    @classmethod
    def _height(cls, n) -> int:
        if n is None:
            return 0
        return 1 + max(cls._height(n.left), cls._height(n.right))

    def size(self) -> int:
        """Get total block count."""
        return self._node_count

    def clear(self) -> None:
        """Clear all blocks."""
        self._enter()
        try:
            old = self._root
            self._root = None
            self._node_count = 0
            self._stats = _stats_dict()
            self._op_counter = itertools.count(1)
            self._sampled = 0
        finally:
            self._leave()
        del old

    def get_size_distribution(self) -> Dict[int, int]:
        """Get size distribution."""
        if self._writer == threading.get_ident():
            raise RuntimeError("FastRedBlackTree is already being modified by this thread")
        with self._write_lock:
            out: Dict[int, int] = {}
            stack = [self._root]
            while stack:
                n = stack.pop()
                if n is not None:
                    out[n.size] = len(n.blocks)
                    stack.append(n.right)
                    stack.append(n.left)
            return out

    def reset_circuit_breaker(self) -> None:
        """Reset circuit breaker stats."""
        with self._stats_lock:
            self._stats["circuit_breaker_trips"] = 0
            self._stats["operation_count"] = 0

    def get_statistics(self) -> Dict[int, List[float]]:
        """Get timing statistics (empty for sampling mode)."""
        return {}

    def __len__(self) -> int:
        return self.size()

    def __bool__(self) -> bool:
        return self.size() > 0

    def __repr__(self) -> str:
        return f"FastRedBlackTree(blocks={self._node_count}, native=True)"

    def __reduce__(self):
        raise TypeError("no default __reduce__ due to non-trivial __cinit__")
