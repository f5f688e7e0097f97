"""Times Python's C-accelerated binascii on the files the C++ benchmark wrote.

Usage: binascii_bench.py BINARY_FILE TEXT_FILE ROUNDS
Prints one line per operation: name and best seconds.
"""
import binascii
import sys
import time


def best(fn, arg, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    binary = open(sys.argv[1], "rb").read()
    text = open(sys.argv[2], "rb").read()
    rounds = int(sys.argv[3])
    b64 = binascii.b2a_base64(binary, newline=False)
    qp = binascii.b2a_qp(text)
    print("base64-encode", best(lambda d: binascii.b2a_base64(d, newline=False), binary, rounds))
    print("base64-decode", best(binascii.a2b_base64, b64, rounds))
    print("qp-encode", best(binascii.b2a_qp, text, rounds))
    print("qp-decode", best(binascii.a2b_qp, qp, rounds))


main()
