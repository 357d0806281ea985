"""GPU memory planning: allocation estimates, safe limits, the three-tier
allocation strategy, chunk shapes, memory pressure and headroom, and operation
classification (native module)."""

import logging as logging
import operator as operator
from typing import Optional, SupportsIndex, SupportsFloat

GPU_DIRECT: int
GPU_CHUNKED: int
CPU_FALLBACK: int

def estimate_allocation_bytes(
    shape: tuple[SupportsIndex, ...], element_size: SupportsIndex, overhead_factor: SupportsFloat = 1.0
) -> int: ...
def calculate_safe_limit(available_bytes: SupportsIndex, headroom_ratio: SupportsFloat) -> int: ...
def decide_allocation_strategy(
    requested_bytes: SupportsIndex, available_bytes: SupportsIndex, headroom_ratio: SupportsFloat, is_chunkable: object
) -> tuple[int, int, int, str]: ...
def compute_chunk_shapes(
    shape: tuple[SupportsIndex, ...], element_size: SupportsIndex, max_chunk_bytes: SupportsIndex
) -> list[tuple[int, ...]]: ...
def calculate_optimal_chunks(
    total_bytes: SupportsIndex,
    available_bytes: SupportsIndex,
    headroom_ratio: SupportsFloat,
    min_chunks: SupportsIndex = 1,
    max_chunks: SupportsIndex = 1000,
) -> int: ...
def is_oom_error(error_message: str, error_type: str) -> bool: ...
def is_chunkable_operation(operation: Optional[str]) -> bool: ...
def score_gpu_suitability(
    data_size_bytes: SupportsIndex,
    operation_type: Optional[str],
    available_gpu_memory: SupportsIndex,
    headroom_ratio: SupportsFloat,
) -> float: ...
def calculate_memory_pressure(used_bytes: SupportsIndex, total_bytes: SupportsIndex) -> float: ...
def recommend_headroom(current_pressure: SupportsFloat, base_headroom: SupportsFloat = 0.5) -> float: ...

logger: logging.Logger
__build_token__: str
