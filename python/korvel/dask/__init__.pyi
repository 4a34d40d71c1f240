import os
from typing import Any, Iterable, Optional, Union

from korvel import Tokenizer

def tokenize_files(
    client: Any, model: Union[str, os.PathLike[str], Tokenizer],
    inputs: Iterable[Union[str, os.PathLike[str]]],
    out_dir: Union[str, os.PathLike[str]], *, add_bos: bool = False,
    add_eos: bool = False, parse_special: bool = False,
    bytes_per_task: int = 8 << 20, lines_per_task: Optional[int] = None,
    progress: Optional[bool] = None,
) -> dict[str, Any]: ...
