#!/usr/bin/python3
# The other ends of dovra's sessions inside the test container: a backend,
# clients that relay random bytes, hold sessions open or only knock, and a
# squatter on a port. Every address is on the container's own loopback.
#
#   peer.py backend LOG ADDR PORT [ADDR PORT ...]
#       ADDR is an IPv4 or IPv6 literal. Echoes every session; when one ends, appends "ID LENGTH SHA256" of
#       what it received to LOG, ID being the hex of its first 16 bytes.
#   peer.py relay HOST PORT SESSIONS MIB LOG
#       SESSIONS sessions at once, each sending MIB MiB of random bytes and
#       reading the echo back; checks the hash of what came back, then the
#       backend's LOG for the hash of what arrived there. Exit 0 when all
#       match.
#   peer.py hold HOST PORT COUNT SECONDS STATE
#       Opens COUNT sessions, each echoed once, writes "held" to STATE, then
#       waits until the relay closes them (or SECONDS pass) and writes
#       "closed N" to STATE.
#   peer.py knock HOST PORT
#       Connects and waits up to 5 s for the relay to close the session.
#   peer.py squat PORT
#       Listens on PORT of every address until killed.
import hashlib
import os
import socket
import sys
import threading
import time

CHUNK = 65536


def backend(log, pairs):
    lock = threading.Lock()

    def serve(conn):
        digest = hashlib.sha256()
        head = b""
        total = 0
        try:
            while True:
                data = conn.recv(CHUNK)
                if not data:
                    break
                if len(head) < 16:
                    head += data[: 16 - len(head)]
                digest.update(data)
                total += len(data)
                conn.sendall(data)
        except OSError:
            pass
        conn.close()
        if total:
            with lock, open(log, "a") as f:
                f.write("%s %d %s\n" % (head.hex(), total, digest.hexdigest()))

    def accept(listener):
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    threads = []
    for addr, port in pairs:
        listener = socket.socket(socket.AF_INET6 if ":" in addr else socket.AF_INET)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((addr, int(port)))
        listener.listen(64)
        threads.append(threading.Thread(target=accept, args=(listener,), daemon=True))
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def relay(host, port, sessions, mib, log):
    size = mib << 20
    results = [None] * sessions

    def one(i):
        data = os.urandom(size)
        sent = hashlib.sha256(data).hexdigest()
        got = hashlib.sha256()
        received = 0
        try:
            s = socket.create_connection((host, port), timeout=30)

            def send():
                try:
                    s.sendall(data)
                except OSError:
                    pass

            writer = threading.Thread(target=send)
            writer.start()
            while received < size:
                piece = s.recv(CHUNK)
                if not piece:
                    break
                got.update(piece)
                received += len(piece)
            writer.join()
            s.close()
        except OSError as e:
            results[i] = (data[:16].hex(), sent, "error %s" % e)
            return
        results[i] = (data[:16].hex(), sent, "%d %s" % (received, got.hexdigest()))

    threads = [threading.Thread(target=one, args=(i,)) for i in range(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    ok = 0
    deadline = time.monotonic() + 10
    for head, sent, back in results:
        want = "%d %s" % (size, sent)
        arrived = None
        while arrived is None and time.monotonic() < deadline:
            try:
                with open(log) as f:
                    for line in f:
                        if line.startswith(head + " "):
                            arrived = line.split(" ", 1)[1].strip()
            except FileNotFoundError:
                pass
            if arrived is None:
                time.sleep(0.1)
        if back == want and arrived == want:
            ok += 1
        else:
            print("session %s: sent %s, backend got %s, came back %s" % (head, want, arrived, back))
    print("%d of %d sessions, %d MiB each way, hashes equal" % (ok, sessions, mib))
    return 0 if ok == sessions else 1


def hold(host, port, count, seconds, state):
    conns = []
    for _ in range(count):
        s = socket.create_connection((host, port), timeout=5)
        s.sendall(b"x")
        if s.recv(1) != b"x":
            break
        conns.append(s)
    with open(state, "w") as f:
        f.write("held %d\n" % len(conns))
    closed = 0
    deadline = time.monotonic() + seconds
    for s in conns:
        s.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            if s.recv(1) == b"":
                closed += 1
        except ConnectionResetError:
            closed += 1
        except OSError:
            pass
    with open(state, "a") as f:
        f.write("closed %d\n" % closed)


def knock(host, port):
    s = socket.create_connection((host, port), timeout=5)
    try:
        s.recv(1)
    except OSError:
        pass
    s.close()


def squat(port):
    s = socket.socket()
    # Sessions of earlier checks may have left the port in TIME_WAIT.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port))
    s.listen(1)
    while True:
        time.sleep(60)


def main(argv):
    mode = argv[1]
    if mode == "backend":
        rest = argv[3:]
        backend(argv[2], list(zip(rest[0::2], rest[1::2])))
    elif mode == "relay":
        return relay(argv[2], int(argv[3]), int(argv[4]), int(argv[5]), argv[6])
    elif mode == "hold":
        hold(argv[2], int(argv[3]), int(argv[4]), float(argv[5]), argv[6])
    elif mode == "knock":
        knock(argv[2], int(argv[3]))
    elif mode == "squat":
        squat(int(argv[2]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
