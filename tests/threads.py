"""Running a call on a fresh thread, for the thread-affinity tests."""

from concurrent.futures import ThreadPoolExecutor


def run_on_thread(fn):
    """Calls fn() on a new thread; returns {"value": result} or {"error": exception}, the panic
    exception (a BaseException) included."""
    with ThreadPoolExecutor(1) as pool:
        future = pool.submit(fn)
        error = future.exception()
    return {"value": future.result()} if error is None else {"error": error}
