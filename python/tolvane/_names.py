"""The rules of parameters' names: a name or an index to the field it stands for, and names
made unique for tables. Below the Plot, the readers and the tables, which all use them."""

from __future__ import annotations

from collections import defaultdict
from typing import Dict, List, Sequence, Union

# A parameter by name, or by index (0 is the time).
Key = Union[str, int]


def dedup_names(names: Sequence[str]) -> List[str]:
    """Names made unique as pandas makes a file's repeated column names unique: the second
    'X' becomes 'X.1', the third 'X.2', skipping any that is taken."""
    counts: Dict[str, int] = defaultdict(int)
    unique = []
    for name in names:
        count = counts[name]
        while count > 0:
            counts[name] = count + 1
            name = f"{name}.{count}"
            count = counts[name]
        unique.append(name)
        counts[name] = count + 1
    return unique



def field_of(key: Key, names: Sequence[str], index: Dict[str, List[int]], path: str) -> int:
    """The field a name or an index stands for; KeyError if it stands for none, or for several."""
    if isinstance(key, str):
        found = index.get(key)
        if not found:
            raise KeyError(f"{path} has no parameter named {key!r}")
        if len(found) > 1:
            raise KeyError(f"{key!r} names several parameters of {path}, fields "
                           f"{', '.join(map(str, found))}: pick one by its index")
        return found[0]
    if not 0 <= key < len(names):
        raise KeyError(f"{path} has no parameter {key}: its parameters are 0 (the time) "
                       f"to {len(names) - 1}")
    return key


def name_index(names: Sequence[str]) -> Dict[str, List[int]]:
    index: Dict[str, List[int]] = {}
    for i, name in enumerate(names):
        index.setdefault(name, []).append(i)
    return index
