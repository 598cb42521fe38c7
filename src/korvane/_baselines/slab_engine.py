"""Pure-Python equivalent of ``korvane.memory.slab_engine``.

Same classes, functions and results as the native module, in plain Python, for
the benchmarks and as a readable reference. Integer arguments are not range
checked here (the native module rejects values outside 32 bits).
"""
import logging
import struct
import threading

logger = logging.getLogger(__name__)

_FULL64 = (1 << 64) - 1


def _build_crc_table():
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


_CRC_TABLE = _build_crc_table()


def _crc16(data):
    crc = 0xFFFF
    for b in data:
        crc = (crc >> 8) ^ _CRC_TABLE[(crc ^ b) & 0xFF]
    return crc


def _full_mask(n):
    if n <= 0:
        return 0
    return _FULL64 if n >= 64 else (1 << n) - 1


def _cmod(x, m):
    """x mod m with the remainder truncated toward zero, as in C."""
    r = abs(x) % abs(m)
    return -r if x < 0 else r


def _align_up(x, alignment):
    if alignment <= 0:
        alignment = 1
    return (x + alignment - 1) & -alignment


class FastSlabHeaderOps:
    """Fast operations on compressed slab headers."""

    __slots__ = ("size_class_index", "flags", "version", "checksum",
                 "free_bitmap", "objects_per_slab")

    def __init__(self, size_class_index, objects_per_slab):
        self.size_class_index = size_class_index & 0xFF
        self.flags = 0
        self.version = 0
        self.checksum = 0
        self.objects_per_slab = objects_per_slab
        self.free_bitmap = _full_mask(objects_per_slab)

    def _compute_checksum(self):
        return _crc16(struct.pack("<BBL", self.size_class_index, self.flags, self.version))

    def pack_header(self):
        """Pack header into bytes for storage."""
        self.checksum = self._compute_checksum()
        return struct.pack("<BBLHQ", self.size_class_index, self.flags, self.version,
                           self.checksum, self.free_bitmap)

    def unpack_header(self, data):
        """Unpack header from bytes."""
        n = len(data)
        if n != 16:
            raise ValueError(f"Slab header must be 16 bytes, got {n}")
        sc, flags, version, stored_crc, bitmap = struct.unpack("<BBLHQ", data)
        self.size_class_index = sc
        self.flags = flags
        self.version = version
        self.free_bitmap = bitmap
        computed_crc = self._compute_checksum()
        if stored_crc != computed_crc:
            self.flags |= 0x80
            logger.warning(f"Header corruption detected: stored={stored_crc:04x}, "
                           f"computed={computed_crc:04x}")

    def py_is_object_free(self, object_index):
        """Check if object at index is free (Python interface)."""
        if not 0 <= object_index < 64:
            return False
        return bool(self.free_bitmap >> object_index & 1)

    def py_find_free_object(self):
        """Find first free object index (Python interface)."""
        b = self.free_bitmap
        return -1 if b == 0 else (b & -b).bit_length() - 1

    def py_allocate_object_at(self, object_index):
        """Mark object as allocated (Python interface)."""
        if 0 <= object_index < 64:
            self.free_bitmap &= ~(1 << object_index) & _FULL64
        self.flags |= 0x10
        self.version = (self.version + 1) & 0xFFFFFFFF

    def py_deallocate_object_at(self, object_index):
        """Mark object as free (Python interface)."""
        if 0 <= object_index < 64:
            self.free_bitmap |= 1 << object_index
        self.version = (self.version + 1) & 0xFFFFFFFF
        if self.free_bitmap == _full_mask(self.objects_per_slab):
            self.flags &= ~0x10


class FastBucketAllocator:
    """Bucketed allocation in constant time."""

    __slots__ = ("bucket_size_step", "small_block_max", "medium_block_max", "buckets", "_lock")

    def __init__(self, bucket_size_step=8, small_block_max=256, medium_block_max=4096):
        self.bucket_size_step = bucket_size_step
        self.small_block_max = small_block_max
        self.medium_block_max = medium_block_max
        self.buckets = {}
        self._lock = threading.Lock()
        self._init_buckets()

    def _init_buckets(self):
        """Initialize size-class buckets."""
        step = self.bucket_size_step
        for size in range(step, self.small_block_max + 1, step):
            self.buckets[size] = []
        for size in range(self.small_block_max + step, self.medium_block_max + 1, step):
            self.buckets[size] = []

    def _bucket_size(self, size):
        step = self.bucket_size_step
        if size > self.medium_block_max or step <= 0:
            return -1
        s = size + step - 1
        return s - _cmod(s, step)

    def add_to_bucket(self, offset, size):
        """Add block to appropriate bucket."""
        b = self._bucket_size(size)
        if b <= 0 or size != b:
            return False
        with self._lock:
            bucket = self.buckets.get(b)
            if bucket is None:
                return False
            bucket.append(offset)
            return True

    def remove_from_bucket(self, size):
        """Remove block from appropriate bucket."""
        b = self._bucket_size(size)
        if b <= 0:
            return None
        with self._lock:
            bucket = self.buckets.get(b)
            if bucket:
                return bucket.pop()
            return None

    def find_best_fit_bucket(self, size, alignment):
        """Find best fit bucket for allocation."""
        b = self._bucket_size(size)
        if b <= 0:
            return None
        with self._lock:
            buckets = self.buckets
            bucket = buckets.get(b)
            if bucket:
                o = bucket.pop()
                if _align_up(o, alignment) + size <= o + b:
                    return o
                bucket.append(o)
            for k in sorted(buckets.keys()):
                if k > b:
                    bucket = buckets[k]
                    if bucket:
                        o = bucket.pop()
                        if _align_up(o, alignment) + size <= o + k:
                            return o
                        bucket.append(o)
            return None


class FastStatsCollector:
    """Fast statistics collection."""

    __slots__ = ("total_allocations", "total_deallocations", "bucketed_allocations",
                 "fallback_allocations", "alignment_padding_bytes", "_lock")

    def __init__(self):
        self.total_allocations = 0
        self.total_deallocations = 0
        self.bucketed_allocations = 0
        self.fallback_allocations = 0
        self.alignment_padding_bytes = 0
        self._lock = threading.Lock()

    def py_record_allocation(self, size, padding, is_bucketed):
        bucketed = bool(is_bucketed)
        with self._lock:
            self.alignment_padding_bytes = (self.alignment_padding_bytes + padding) & _FULL64
            self.total_allocations += 1
            if bucketed:
                self.bucketed_allocations += 1
            else:
                self.fallback_allocations += 1

    def py_record_deallocation(self):
        with self._lock:
            self.total_deallocations += 1

    def get_stats(self):
        with self._lock:
            total = self.total_allocations
            ratio = self.bucketed_allocations / total * 100 if total > 0 else 0
            return {
                "total_allocations": total,
                "total_deallocations": self.total_deallocations,
                "bucketed_allocations": self.bucketed_allocations,
                "fallback_allocations": self.fallback_allocations,
                "bucketed_allocation_ratio": f"{ratio:.1f}%",
                "alignment_padding_bytes": self.alignment_padding_bytes,
            }

    def reset_stats(self):
        with self._lock:
            self.total_allocations = 0
            self.total_deallocations = 0
            self.bucketed_allocations = 0
            self.fallback_allocations = 0
            self.alignment_padding_bytes = 0


def fast_align_size(size, alignment):
    if alignment <= 0 or alignment & (alignment - 1):
        raise ValueError("Alignment must be a power of 2")
    return (size + alignment - 1) & -alignment


def fast_get_bucket_size(size, step=8):
    if step == 0:
        raise ZeroDivisionError("integer division or modulo by zero")
    return size + step - _cmod(size + step - 1, step) - 1


def fast_bitmap_operations(bitmap, index, operation):
    if operation == "is_set":
        return 0 <= index < 64 and bool(bitmap >> index & 1)
    if operation == "set":
        return bitmap | (1 << index) if 0 <= index < 64 else bitmap
    if operation == "clear":
        return bitmap & ~(1 << index) & _FULL64 if 0 <= index < 64 else bitmap
    if operation == "find_first":
        return -1 if bitmap == 0 else (bitmap & -bitmap).bit_length() - 1
    raise ValueError(f"Unknown operation: {operation}")


def fast_can_fit_aligned(block_offset, block_size, alloc_size, alignment):
    return _align_up(block_offset, alignment) + alloc_size < block_offset + block_size

