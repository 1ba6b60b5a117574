#!/usr/bin/env python3
"""vantrel-link show from process start to exit, beside a bare QCoreApplication program.

Both ask the stand-in service (as2-standin with its sample data, on 127.0.0.1:4321, the fixed
command port) the same queries: the two partners and their partnerships. The bare program sends
them over QTcpSocket and prints the replies; vantrel-link parses them, checks them and prints the
settings as JSON. Runs alternate; printed are the medians and their ratio.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

PORT = 4321


def timed(command, env):
    start = time.monotonic()
    done = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = (time.monotonic() - start) * 1000.0
    if done.returncode != 0:
        sys.exit(f"link_startup.py: {command[0]} ended with {done.returncode}: "
                 f"{done.stderr.decode(errors='replace')}")
    return elapsed


def main():
    build = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--link", default=os.path.join(build, "src/cli/vantrel-link"))
    parser.add_argument("--bare", default=os.path.join(build, "bench/vantrel-bare-link"))
    parser.add_argument("--standin", default=os.path.join(build, "standin/as2-standin"))
    parser.add_argument("--runs", type=int, default=41)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as work:
        data = os.path.join(work, "as2data")
        subprocess.run([options.standin, "--init", data], check=True, stderr=subprocess.DEVNULL)
        service = subprocess.Popen([options.standin, "--port", str(PORT), "--data", data],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if service.stdout.readline().strip() != str(PORT).encode():
            sys.exit(f"link_startup.py: the stand-in could not take port {PORT}")
        env = dict(os.environ, VANTREL_CONFIG=os.path.join(data, "config.xml"))
        link, bare = [], []
        try:
            for _ in range(3):  # caches warm, first connections made
                timed([options.link, "show"], env)
                timed([options.bare, str(PORT)], env)
            for _ in range(options.runs):
                link.append(timed([options.link, "show"], env))
                bare.append(timed([options.bare, str(PORT)], env))
        finally:
            service.terminate()
            service.wait(10)

    ml, mb = statistics.median(link), statistics.median(bare)
    met = ml / mb <= 1.3
    print(f"vantrel-link show, start to exit: {ml:.1f} ms (runs {min(link):.1f} to {max(link):.1f})")
    print(f"bare QCoreApplication, same queries: {mb:.1f} ms (runs {min(bare):.1f} to {max(bare):.1f})")
    print(f"ratio {ml / mb:.2f} (target <= 1.3) {'met' if met else 'MISSED'}, "
          f"{options.runs} interleaved runs each")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
