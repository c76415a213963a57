from typing import Any

WHOLE: str

def failing(result: dict[str, Any], wanted: list[str], pytest: bool, known: Any = None) -> list[str]: ...
def trace(runs: Any, count: int, passed: list[str], last: dict[str, Any], pytest: bool,
          index: dict[str, int], ids: Any = None) -> dict[str, Any]: ...
