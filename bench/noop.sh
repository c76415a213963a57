#!/usr/bin/env bash
# Wall time of three no-op `tov bdist` runs of examples/vemo after one that fills the cache (TOV= names the command).
cd "$(dirname "$0")/../examples/vemo" && TIMEFORMAT='%R s' && "${TOV:-tov}" bdist -n vemo >/dev/null && for i in 1 2 3; do time "${TOV:-tov}" bdist -n vemo >/dev/null; done
