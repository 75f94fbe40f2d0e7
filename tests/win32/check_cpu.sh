#!/bin/bash
# Fails on any instruction that a Pentium (P5) lacks: CMOV, FCMOV, FCOMI/FUCOMI, the long NOP forms and the
# other hint-space opcodes, MMX/3DNow!/SSE and later, SYSENTER/SYSEXIT, FXSAVE, RDPMC and the like.
# usage: check_cpu.sh <objdump> <image>
set -u
objdump=$1 image=$2

listing=$("$objdump" -d --no-show-raw-insn "$image") || { echo "cannot disassemble $image"; exit 1; }
total=$(printf '%s\n' "$listing" | grep -cP '^\s+[0-9a-f]+:\t')
if [ "$total" -eq 0 ]; then
    echo "no instructions found in $image"
    exit 1
fi

forbidden='^(cmov|fcmov|f(u)?comip?\b|nop[wl]|nop\s+%|prefetch|endbr|ud1|sysenter|sysexit|syscall|sysret|fxsave|fxrstor|rdpmc|movnti|[lms]fence|clflush|popcnt|lzcnt|tzcnt|emms|femms|pf|pi2f|pavgusb|pmulhrw|movq|movd)|%[xyz]?mm[0-9]'
bad=$(printf '%s\n' "$listing" | grep -P '^\s+[0-9a-f]+:\t' | cut -f2- | grep -P "$forbidden")

echo "$total instructions disassembled"
if [ -n "$bad" ]; then
    echo "instructions a Pentium cannot run:"
    printf '%s\n' "$bad" | sort | uniq -c | sort -rn | head -40
    exit 1
fi
echo "none newer than the Pentium"
