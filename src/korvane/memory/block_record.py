"""Free-block records shared by korvane's memory pools and the block index."""
from __future__ import annotations

__all__ = ["MemoryBlock"]


class MemoryBlock:
    """A free block of a pool: ``size`` bytes at ``offset`` in pool ``owner``.

    Blocks compare by value, so a pool may rebuild a record to delete a block
    from an index that stores another record of the same block.
    """

    __slots__ = ("offset", "size", "owner")

    def __init__(self, offset: int, size: int, owner: int = 0) -> None:
        self.offset = offset
        self.size = size
        self.owner = owner

    def __eq__(self, other: object) -> bool:
        if other.__class__ is not MemoryBlock and not isinstance(other, MemoryBlock):
            return NotImplemented
        return (self.offset == other.offset and self.size == other.size
                and self.owner == other.owner)

    def __hash__(self) -> int:
        return hash((self.offset, self.size, self.owner))

    def __repr__(self) -> str:
        return f"MemoryBlock(offset={self.offset}, size={self.size}, owner={self.owner})"

    @property
    def end(self) -> int:
        """First offset past the block."""
        return self.offset + self.size
