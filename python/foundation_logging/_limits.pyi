from foundation import Level

def log(level: Level, message: str, *, once: bool = False, skip_first: bool = False, every_n: int | None = None,
        throttle_sec: float | None = None) -> None: ...
