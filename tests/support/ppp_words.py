#!/usr/bin/env python3
"""Reads a file in pppd's options and secrets syntax as pppd(8) describes it
under OPTIONS FILES: words are delimited by whitespace, double quotes include
whitespace in a word, a backslash quotes the following character, and a hash
starts a comment that runs to the end of the line. A secrets file is parsed
the same way, one secret per line.

Prints one line per file line that holds words: the words in hex, separated by
blanks ("-" for an empty word). Exits 1 on a quote or backslash left open."""

import sys


def read_lines(data):
    lines, words = [], []
    word = None
    quoted = False
    i = 0
    while i < len(data):
        c = data[i:i + 1]
        if c == b"\\":
            i += 1
            if i == len(data):
                sys.exit("backslash at the end")
            word = (word or b"") + data[i:i + 1]
        elif quoted:
            if c == b'"':
                quoted = False
            else:
                word += c
        elif c == b'"':
            quoted = True
            word = word or b""
        elif c == b"#":
            while i + 1 < len(data) and data[i + 1:i + 2] != b"\n":
                i += 1
        elif c == b"\n" or c in b" \t\r\v\f":
            if word is not None:
                words.append(word)
                word = None
            if c == b"\n":
                if words:
                    lines.append(words)
                words = []
        else:
            word = (word or b"") + c
        i += 1
    if quoted:
        sys.exit("quote left open")
    if word is not None:
        words.append(word)
    if words:
        lines.append(words)
    return lines


def main():
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    for words in read_lines(data):
        print(" ".join(w.hex() if w else "-" for w in words))


if __name__ == "__main__":
    main()
