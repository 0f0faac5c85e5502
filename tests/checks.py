"""How a release test says what it found: a line per check, 'ok' or
'FAILED' with the detail, then 'N passed, N failed' and the status."""
import sys

SKIPPED = 77  # CTest's SKIP_RETURN_CODE for these tests


class Checks:
    def __init__(self):
        self.results = []

    def __call__(self, what, ok, detail=""):
        self.results.append(bool(ok))
        print(f"{'ok' if ok else 'FAILED'}: {what}", flush=True)
        if not ok and detail:
            print("    " + str(detail).strip().replace("\n", "\n    "), flush=True)
        return ok

    def finish(self):
        print(f"{self.results.count(True)} passed, {self.results.count(False)} failed")
        sys.exit(0 if self.results and all(self.results) else 1)
