#!/usr/bin/env python3
"""Reads a Prometheus text exposition on standard input with the Prometheus
client library's own parser and prints every sample as one line:

    NAME<TAB>label=value,label=value (sorted)<TAB>VALUE (repr of the float)

Label values are printed as JSON strings, so any character survives. Exits 1
with the parser's message when the text does not parse."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families


def main():
    text = sys.stdin.buffer.read().decode("utf-8")
    try:
        families = list(text_string_to_metric_families(text))
    except Exception as e:  # the parser raises ValueError and friends
        print("parse error: %s" % e, file=sys.stderr)
        return 1
    for family in families:
        for sample in family.samples:
            labels = ",".join("%s=%s" % (k, json.dumps(v, ensure_ascii=False))
                              for k, v in sorted(sample.labels.items()))
            print("%s\t%s\t%r" % (sample.name, labels, float(sample.value)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
