#!/usr/bin/env python3
"""Independent reference for the RFC 822 date routines, from email.utils.

Reads requests from stdin, one per line, and prints one answer line each:
  P<TAB>text   -> "y m d H M S tz" of parsedate_tz (tz 0 when absent) or "None"
  F<TAB>epoch  -> format_datetime of that instant in local time (TZ)
  L<TAB>text   -> "y m d H M S" of the instant in local time, or "None"
"""
import sys
from datetime import datetime
from email.utils import format_datetime, mktime_tz, parsedate_tz

for line in sys.stdin.read().splitlines():
    kind, _, arg = line.partition("\t")
    if kind == "P":
        t = parsedate_tz(arg)
        print("None" if t is None else "%d %d %d %d %d %d %d" % (t[:6] + (t[9] or 0,)))
    elif kind == "F":
        print(format_datetime(datetime.fromtimestamp(int(arg)).astimezone()))
    elif kind == "L":
        t = parsedate_tz(arg)
        if t is None:
            print("None")
        else:
            d = datetime.fromtimestamp(mktime_tz(t))
            print("%d %d %d %d %d %d" % (d.year, d.month, d.day, d.hour, d.minute, d.second))
    else:
        print("?")
