"""Where a control round trip's time goes, trip by trip: the Motor loop (set a
target, broadcast(), get_watch_data() read back to back until the answer shows)
and the spinning socket loop take turns against one responder, with
io_trace.c preloaded before the bus library in both processes. Each trip is cut
into: request written (and by which thread), answer written by the responder,
answer read (by which thread: the caller's catch-up, or the socket task on a
runtime worker), answer visible to Python; for the slow trips also what the
caller's own reads found meanwhile.

    cc -O2 -shared -fPIC -o /tmp/io_trace.so bench/tail/io_trace.c -ldl
    LD_PRELOAD=/tmp/io_trace.so testing/vbus/run-with-vbus -- python3 bench/tail/round_trip_tail.py

(run-with-vbus keeps a preload already set in front of its own.)
"""

import argparse
import ctypes
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from round_trips import ANSWER, REQUEST, RESPONDER, motor_loop, spinning_stdlib_loop, first_answer  # noqa: E402
from peer import FRAME, pack  # noqa: E402

SEND, RECV, RECVMMSG, EPOLL_IN, EPOLL_OUT = 1, 2, 3, 4, 5


def load(path):
    rows = []
    for line in Path(path).read_text().splitlines():
        ns, tid, op, ret, err, can_id, word = line.split()
        rows.append((int(ns), int(tid), int(op), int(ret), int(err), int(can_id, 16), int(word)))
    rows.sort()
    return rows


def request_number(word):
    return struct.unpack("<h", struct.pack("<I", word)[:2])[0]


def answer_number(word):
    return struct.unpack("<f", struct.pack("<I", word))[0]


def thread_names():
    names = {}
    for task in os.listdir("/proc/self/task"):
        try:
            names[int(task)] = Path(f"/proc/self/task/{task}/comm").read_text().strip()
        except OSError:
            pass
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--per-round", type=int, default=200)
    parser.add_argument("--slow-us", type=float, default=400)
    args = parser.parse_args()
    dump = ctypes.CDLL(None).trace_dump
    out = Path(tempfile.mkdtemp(prefix="tail."))
    responder_src = RESPONDER + f"\nimport ctypes\nctypes.CDLL(None).trace_dump({str(out / 'responder')!r}.encode())\n"
    responder = subprocess.Popen([sys.executable, "-c", responder_src, args.iface, FRAME.format],
                                 stdout=subprocess.PIPE, text=True)
    assert responder.stdout.readline().strip() == "ready"
    loops = [("Motor control", motor_loop), ("socket, spinning recv", spinning_stdlib_loop)]
    trips = {name: [] for name, _ in loops}
    n = 0
    for index in range(args.rounds):
        for name, make in loops[index % 2:] + loops[:index % 2]:
            round_trip, close = make(args.iface)
            n = n % 30000 + 1
            first_answer(round_trip, n)
            for _ in range(args.per_round):
                n = n % 30000 + 1
                t0 = time.perf_counter_ns()
                round_trip(n)
                trips[name].append((n, t0, time.perf_counter_ns(), _))
            close()
    names = thread_names()
    caller = threading.get_native_id()
    stop = __import__("socket").socket(29, 3, 1)
    stop.bind((args.iface,))
    stop.send(pack(REQUEST))
    responder.wait(timeout=30)
    dump(str(out / "caller").encode())
    ours, theirs = load(out / "caller"), load(out / "responder")
    answers_written = {}
    for ns, tid, op, ret, err, can_id, word in theirs:
        if op == SEND and can_id == ANSWER and ret == 16:
            answers_written.setdefault(round(answer_number(word)), []).append(ns)
    report = {}
    for name, values in trips.items():
        lat = sorted((b - a) / 1000 for _, a, b, _ in values)
        slow, cut = [], {"reader": {}, "slow_reader": {}}
        for n, t0, t1, place in values:
            inside = [r for r in ours if t0 <= r[0] <= t1]
            sent = next((r for r in inside if r[2] == SEND and r[5] == REQUEST and request_number(r[6]) == n), None)
            read = next((r for r in inside if r[2] in (RECV, RECVMMSG) and r[3] > 0 and r[5] == ANSWER
                         and round(answer_number(r[6])) == n), None)
            written = next((w for w in answers_written.get(n, []) if t0 <= w <= t1), None)
            who = "caller" if read and read[1] == caller else (names.get(read[1], str(read[1])) if read else "?")
            cut["reader"][who] = cut["reader"].get(who, 0) + 1
            if (t1 - t0) / 1000 < args.slow_us:
                continue
            cut["slow_reader"][who] = cut["slow_reader"].get(who, 0) + 1
            mine = [r for r in inside if r[1] == caller and r[2] in (RECV, RECVMMSG)]
            after_answer = [r for r in mine if written and r[0] >= written and (not read or r[0] < read[0])]
            gaps = [b[0] - a[0] for a, b in zip(mine, mine[1:])]
            others = {}
            for r in inside:
                if r[1] != caller:
                    key = f"{names.get(r[1], r[1])}:{r[1]} op{r[2]}"
                    others[key] = others.get(key, 0) + 1
            slow.append({
                "place_in_round": place,
                "other_threads_events": others,
                "trip_us": round((t1 - t0) / 1000, 1),
                "request_written_us": round((sent[0] - t0) / 1000, 1) if sent else None,
                "request_writer": ("caller" if sent[1] == caller else names.get(sent[1], sent[1])) if sent else None,
                "answer_written_us": round((written - t0) / 1000, 1) if written else None,
                "answer_read_us": round((read[0] - t0) / 1000, 1) if read else None,
                "answer_reader": who,
                "visible_us": round((t1 - t0) / 1000, 1),
                "caller_reads": len(mine),
                "caller_reads_between_answer_and_read": len(after_answer),
                "caller_longest_gap_between_reads_us": round(max(gaps) / 1000, 1) if gaps else None,
            })
        report[name] = {"trips": len(lat), "p50_us": lat[len(lat) // 2], "p99_us": lat[int(len(lat) * 0.99)],
                        "max_us": lat[-1], "answer_reader": cut["reader"], "slow": len(slow),
                        "slow_answer_reader": cut["slow_reader"], "slowest": sorted(slow, key=lambda s: -s["trip_us"])[:12]}
    report["threads"] = {str(k): v for k, v in names.items()}
    print(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
