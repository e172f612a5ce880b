"""Running a call on a fresh thread, for the thread-affinity tests."""

import threading


def run_on_thread(fn):
    """Calls fn() on a new thread; returns {"value": result} or {"error": exception}."""
    result = {}

    def body():
        try:
            result["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - the panic exception is the subject
            result["error"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join()
    return result
