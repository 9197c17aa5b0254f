#!/usr/bin/env python3
# Writes src/network/config/unicode_lower_tables.inc from the Unicode database
# of the running Python: usage  python3 scripts/gen_unicode_lower.py > src/network/config/unicode_lower_tables.inc
import sys
SIG = '\u03a3'
def final(s):
    return s.lower().endswith('\u03c2')
pairs = []
multi = []
ign = []
cased = []
for cp in range(0x110000):
    if 0xD800 <= cp <= 0xDFFF:
        continue
    c = chr(cp)
    if cp != 0x3A3:
        l = c.lower()
        if l != c:
            if len(l) == 1:
                pairs.append((cp, ord(l)))
            else:
                multi.append((cp, [ord(x) for x in l]))
    t1 = final(c + SIG)
    t2 = final('A' + c + SIG)
    if not t1 and t2:
        ign.append(cp)
    elif t1:
        cased.append(cp)
def ranges(cps):
    out = []
    for cp in cps:
        if out and out[-1][1] == cp - 1:
            out[-1][1] = cp
        else:
            out.append([cp, cp])
    return out
assert multi == [(0x130, [0x69, 0x307])], multi  # the one expansion unicode_lower.cpp knows
o = []
o.append('// Generated from the Unicode character database (%s): lower-case mappings' % __import__('unicodedata').unidata_version)
o.append('// and the Case_Ignorable and Cased properties for the final-sigma rule.')
o.append('// Do not edit by hand.')
o.append('')
o.append('struct LowerPair { char32_t from; char32_t to; };')
o.append('inline constexpr LowerPair kLowerPairs[] = {')
for a, b in pairs:
    o.append('    {0x%04X, 0x%04X},' % (a, b))
o.append('};')
o.append('')
o.append('struct CpRange { char32_t first; char32_t last; };')
for name, cps in (('kCaseIgnorable', ign), ('kCasedNotIgnorable', cased)):
    o.append('inline constexpr CpRange %s[] = {' % name)
    for a, b in ranges(cps):
        o.append('    {0x%04X, 0x%04X},' % (a, b))
    o.append('};')
    o.append('')
print('\n'.join(o))

