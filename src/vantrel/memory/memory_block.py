"""The memory block that the package's pools hand around."""

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class MemoryBlock:
    """A span of ``size`` bytes starting at ``address``.

    Blocks compare and hash by value, so a pool can delete a block from an
    index with any object describing the same span.
    """

    address: int
    size: int
