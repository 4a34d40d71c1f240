#!/usr/bin/env python3
"""Builds the NFC and NFKC character maps that korvel import stores.

A character map rewrites the longest key found at each position of the text,
left to right. It cannot express every normalization: composition across
characters and the reordering of combining marks depend on context. So the
maps hold every code point whose normalized form differs, plus the pairs of a
character and a following mark that compose (after both are mapped), keyed by
the two characters.

Normalization is computed here from the Unicode Character Database files
(UnicodeData.txt and DerivedNormalizationProps.txt of Debian's unicode-data),
not from Python's unicodedata, whose Unicode version may differ.

  gen_normalization_map.py UCD_DIR OUT.inc   writes the C++ tables
  gen_normalization_map.py UCD_DIR --compare counts where the maps differ
                                             from Python's unicodedata
"""

import os
import sys

S_BASE, L_BASE, V_BASE, T_BASE = 0xAC00, 0x1100, 0x1161, 0x11A7
L_COUNT, V_COUNT, T_COUNT = 19, 21, 28
N_COUNT = V_COUNT * T_COUNT
S_COUNT = L_COUNT * N_COUNT


class Ucd:
    """The decompositions, combining classes and compositions of the UCD."""

    def __init__(self, directory):
        self.ccc = {}
        self.canonical = {}
        self.compat = {}
        with open(os.path.join(directory, 'UnicodeData.txt')) as data:
            for line in data:
                fields = line.split(';')
                code = int(fields[0], 16)
                if int(fields[3]):
                    self.ccc[code] = int(fields[3])
                if not fields[5]:
                    continue
                parts = fields[5].split()
                if parts[0].startswith('<'):
                    self.compat[code] = [int(p, 16) for p in parts[1:]]
                else:
                    self.canonical[code] = [int(p, 16) for p in parts]
        excluded = set()
        props = os.path.join(directory, 'DerivedNormalizationProps.txt')
        with open(props) as data:
            for line in data:
                line = line.split('#')[0].split(';')
                if len(line) < 2 or line[1].strip() != (
                        'Full_Composition_Exclusion'):
                    continue
                first, _, last = line[0].strip().partition('..')
                for code in range(int(first, 16), int(last or first, 16) + 1):
                    excluded.add(code)
        self.compose = {}
        for code, parts in self.canonical.items():
            if len(parts) == 2 and code not in excluded:
                self.compose[tuple(parts)] = code

    def decompose(self, code, compat, out):
        if S_BASE <= code < S_BASE + S_COUNT:
            index = code - S_BASE
            out.append(L_BASE + index // N_COUNT)
            out.append(V_BASE + index % N_COUNT // T_COUNT)
            if index % T_COUNT:
                out.append(T_BASE + index % T_COUNT)
            return
        parts = self.canonical.get(code)
        if parts is None and compat:
            parts = self.compat.get(code)
        if parts is None:
            out.append(code)
            return
        for part in parts:
            self.decompose(part, compat, out)

    def composed(self, first, second):
        if L_BASE <= first < L_BASE + L_COUNT and (
                V_BASE <= second < V_BASE + V_COUNT):
            return S_BASE + ((first - L_BASE) * V_COUNT +
                             second - V_BASE) * T_COUNT
        if (S_BASE <= first < S_BASE + S_COUNT and
                (first - S_BASE) % T_COUNT == 0 and
                T_BASE < second < T_BASE + T_COUNT):
            return first + second - T_BASE
        return self.compose.get((first, second))

    def normalize(self, text, compat):
        codes = []
        for char in text:
            self.decompose(ord(char), compat, codes)
        # Canonical order: bubble each mark back past marks of higher class.
        for i in range(1, len(codes)):
            j = i
            while j > 0 and 0 < self.ccc.get(codes[j], 0) < self.ccc.get(
                    codes[j - 1], 0):
                codes[j - 1], codes[j] = codes[j], codes[j - 1]
                j -= 1
        if not codes:
            return ''
        out = [codes[0]]
        starter = 0
        last_class = 256 if self.ccc.get(codes[0], 0) else 0
        for code in codes[1:]:
            cls = self.ccc.get(code, 0)
            both = self.composed(out[starter], code)
            if both is not None and (last_class < cls or last_class == 0):
                out[starter] = both
                continue
            if cls == 0:
                starter = len(out)
            last_class = cls
            out.append(code)
        return ''.join(map(chr, out))


def code_points():
    for code in range(0x110000):
        if not 0xD800 <= code < 0xE000:
            yield chr(code)


def build_map(ucd, compat):
    """The map's keys and values: characters, then pairs that compose."""
    entries = {}
    single = {}
    for char in code_points():
        normal = ucd.normalize(char, compat)
        single[char] = normal
        if normal != char:
            entries[char] = normal
    # Characters whose form starts with the second half of a composition.
    seconds = {}
    firsts = {}
    for first, second in ucd.compose:
        firsts.setdefault(first, []).append(second)
    for char, normal in single.items():
        seconds.setdefault(ord(normal[0]), []).append(char)
    hangul_v = [chr(V_BASE + i) for i in range(V_COUNT)]
    hangul_t = [chr(T_BASE + i) for i in range(1, T_COUNT)]
    for char, normal in single.items():
        last = ord(normal[-1])
        marks = []
        for second in firsts.get(last, ()):
            marks.extend(seconds.get(second, ()))
        if L_BASE <= last < L_BASE + L_COUNT:
            marks.extend(hangul_v)
        elif S_BASE <= last < S_BASE + S_COUNT and (
                last - S_BASE) % T_COUNT == 0:
            marks.extend(hangul_t)
        for mark in marks:
            normal_pair = ucd.normalize(char + mark, compat)
            if normal_pair != normal + single[mark]:
                entries[char + mark] = normal_pair
    return entries


def literal(text):
    return '"' + ''.join('\\x%02x' % b for b in text.encode('utf-8')) + '"'


def write_tables(ucd, path):
    with open(path, 'w') as out:
        out.write('// Generated by tools/gen_normalization_map.py from the '
                  'Unicode Character Database.\n')
        # One character array per map, each key and value ended by a NUL:
        # an array of pointers would need one start-up relocation per string
        # in a position-independent program.
        for name, compat in (('kNfcMap', False), ('kNfkcMap', True)):
            entries = build_map(ucd, compat)
            out.write('constexpr char %s[] =\n' % name)
            for key in sorted(entries):
                out.write('    %s "\\0" %s "\\0"\n' % (
                    literal(key), literal(entries[key])))
            out.write('    ;\n')


def apply_map(entries, longest, text):
    out = []
    at = 0
    while at < len(text):
        for length in range(min(longest, len(text) - at), 0, -1):
            replacement = entries.get(text[at:at + length])
            if replacement is not None:
                out.append(replacement)
                at += length
                break
        else:
            out.append(text[at])
            at += 1
    return ''.join(out)


def compare(ucd):
    """Counts the texts where a map differs from Python's normalization."""
    import unicodedata
    print('Unicode of the maps: %s; of Python: %s' % (
        unicodedata_version_of(ucd), unicodedata.unidata_version))
    marks = sorted({chr(c) for c in range(0x300, 0x370)} |
                   {chr(second) for _, second in ucd.compose} |
                   {chr(V_BASE + i) for i in range(V_COUNT)} |
                   {chr(T_BASE + i) for i in range(1, T_COUNT)})
    bases = [chr(c) for c in range(0x10000) if not 0xD800 <= c < 0xE000]
    for form, compat in (('NFC', False), ('NFKC', True)):
        entries = build_map(ucd, compat)
        longest = max(map(len, entries))
        counts = {'single': [0, 0, 0], 'pair': [0, 0, 0]}
        for kind, texts in (('single', code_points()),
                            ('pair', (b + m for b in bases for m in marks))):
            for text in texts:
                counts[kind][0] += 1
                python = unicodedata.normalize(form, text)
                if apply_map(entries, longest, text) != python:
                    counts[kind][1] += 1
                    if ucd.normalize(text, compat) != python:
                        counts[kind][2] += 1
        for kind, (total, differ, version) in counts.items():
            print('%s %s: %d texts, %d differ from Python (%d of them because '
                  'the Unicode versions differ)' % (form, kind, total, differ,
                                                    version))


def unicodedata_version_of(ucd):
    return ucd.version


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    ucd = Ucd(sys.argv[1])
    with open(os.path.join(sys.argv[1], 'DerivedAge.txt')) as age:
        ucd.version = age.readline().strip('# \n').split('-')[1][:-4]
    if sys.argv[2] == '--compare':
        compare(ucd)
    else:
        write_tables(ucd, sys.argv[2])


if __name__ == '__main__':
    main()
