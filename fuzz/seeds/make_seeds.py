#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/seeds/<target>/.

The documents come from tests/data (the samples the tests use) and from the
same generator that wrote them; logs, CSV texts and HTTP responses are built
here from the documented formats. Each seed starts with the control bytes its
target reads first (see the comment at the top of each fuzz/*.cpp).

Run from anywhere: python3 fuzz/seeds/make_seeds.py
"""
import os
import re
import shutil
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, '..', '..', 'tests', 'data')
sys.dont_write_bytecode = True  # leave tests/data as it is
sys.path.insert(0, DATA)
import make_samples  # noqa: E402  (the sample documents' own generator)


def read(name):
    with open(os.path.join(DATA, name), 'rb') as f:
        return f.read()


def inner(doc):
    """The content between a namespaced root's start and end tags."""
    start = doc.index(b'>', doc.index(b':Root')) + 1
    end = doc.rindex(b'</')
    return doc[start:end]


def write_all(target, seeds):
    d = os.path.join(HERE, target)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    total = 0
    for name, data in seeds.items():
        with open(os.path.join(d, name), 'wb') as f:
            f.write(data)
        total += len(data)
    print('%-20s %3d seeds %7d bytes' % (target, len(seeds), total))


# ---- documents -------------------------------------------------------------------

def small_counts(n):
    return {'BinaryInSet': n, 'BinaryOutSet': n, 'SenSet': n, 'TempRangeSet': n, 'GroupSet': n,
            'SnmpTraps': min(n, 4), 'MailDest': min(n, 4), 'SnmpAccess': min(n, 2), 'User': min(n, 2)}


setup_fields = make_samples.fields('ZXXML_SETUP_FIELDS')
values_fields = make_samples.fields('ZXXML_VALUES_FIELDS')
values_unit = read('values_unit.xml')
setup_unit = read('setup_unit.xml')
setup_writer = make_samples.writer_form(setup_fields, small_counts(2)).encode()
setup_writer_empty = make_samples.writer_form(setup_fields, small_counts(0)).encode()
values_small = make_samples.unit_form(values_fields, {'BinaryInSet': 2, 'BinaryOutSet': 1, 'SenSet': 2},
                                      'val:Root', 'urn:kalyx:values').encode()
tiny = b'<Root><Agent><XmlVer>2.34</XmlVer><Model>KX64</Model></Agent>' \
       b'<SenSet><Entry><Name>T1</Name><Value>21.5</Value><Units>C</Units><Idx>0</Idx></Entry></SenSet></Root>'


# Elements nested past the 9999-character key path (the XML parser's own depth
# limit is far below 10000 levels, so long names get there), never closed.
deep = b'<Root>' + b''.join(b'<N%03d%s>' % (i, b'x' * 45) for i in range(200)) + b'text'
# The same within a field's own path, closed again, then a field after it.
deep_closed = b'<Root><Agent>' + b'<E>' * 120 + b'x' + b'</E>' * 120 + b'<Version>1.0</Version></Agent></Root>'


def xml_parse_seeds():
    # Control: bit 0 kind (1 setup), bit 1 wrap in the namespaced root, bits 2-7 slot.
    return {
        'values_unit': bytes([0x04]) + values_unit,
        'values_small': bytes([0x08]) + values_small,
        'values_inner_wrapped': bytes([0x06]) + inner(values_unit),
        'setup_unit': bytes([0x05]) + setup_unit,
        'setup_inner_wrapped': bytes([0x07]) + inner(setup_unit),
        'setup_writer_form': bytes([0x09]) + setup_writer,
        'values_tiny': bytes([0x0c]) + tiny,
        'setup_tiny_wrapped': bytes([0x0f]) + tiny[6:-7],
        'values_deep_unclosed': bytes([0x14]) + deep,
        'setup_deep_closed_wrapped': bytes([0x17]) + deep_closed[6:-7],
        'values_cdata_entities': bytes([0x10]) + b'<Root><Agent><Title><![CDATA[a<b]]>&amp;c&#65;</Title>'
                                                  b'</Agent></Root>',
        # Only the root's own start tag is rewritten, not the pattern in a comment before it.
        'values_comment_before_root': bytes([0x04]) + b'<?xml version="1.0"?>\n<!-- <val:Root -->\n<Root><Agent>'
                                                       b'<DeviceName>A &amp; B &lt;x&gt;</DeviceName></Agent></Root>',
    }


def record_bytes(counts, fields_text):
    """Record mode of fuzz_setup_reduce: 9 counts, then (field, slot, length, text)."""
    out = bytes(c & 0xff for c in counts)
    for field, slot, text in fields_text:
        out += bytes([field, slot, len(text)]) + text
    return out


def setup_reduce_seeds():
    names = [n for n, _, _ in setup_fields]
    fields_text = []
    for i, (name, width, lst) in enumerate(setup_fields):
        for slot in ((0, 1) if lst else (0,)):
            text = ('%d' % slot) if name.endswith('_Idx') else ('v%d' % i)
            fields_text.append((i, slot, text[:width - 2].encode()))
    full_record = record_bytes([2] * 9, fields_text)
    idx = names.index('BinaryOutSet_Entry_Idx')
    one_output = record_bytes([0, 1, 0, 0, 0, 0, 0, 0, 0],
                              [(idx, 0, b'3'), (names.index('BinaryOutSet_Entry_Name'), 0, b'Relay 1')])
    return {
        'text_setup_unit': bytes([0x00]) + setup_unit,
        'text_setup_writer_form': bytes([0x01]) + setup_writer,
        'text_setup_writer_empty': bytes([0x00]) + setup_writer_empty,
        'exact_setup_writer_form': bytes([0x02]) + setup_writer,
        'exact_tiny': bytes([0x02]) + tiny,
        'text_empty_last_idx': bytes([0x00]) + b'<Root><A><Entry><Idx>1</Idx></Entry><Entry><Idx></Idx></Entry></A></Root>',
        'text_deep_unclosed': bytes([0x00]) + deep,
        'text_deep_closed': bytes([0x01]) + deep_closed,
        'record_full_clean': bytes([0x03]) + full_record,
        'record_full_raw': bytes([0x07]) + full_record,
        'record_one_output': bytes([0x03]) + one_output,
        'record_counts_out_of_range': bytes([0x03]) + record_bytes([0x7f, 0x80, 0xff, 43, 42, 5, 4, 3, 2], []),
        'text_escaped_name': bytes([0x00]) + b'<Root><SenSet><Entry><Idx>1</Idx><Name>A &amp; B &lt;x&gt;</Name>'
                                             b'</Entry></SenSet></Root>',
        'text_cut': bytes([0x00]) + b'<Root><SenSet><Entry><Idx>1</Idx><Name>A &amp; B',
        # Clean texts are mapped byte by byte to 0x20 + b % 0x5f.
        'record_markup_name': bytes([0x03]) + record_bytes(
            [0, 0, 1, 0, 0, 0, 0, 0, 0],
            [(names.index('SenSet_Entry_Idx'), 0, bytes([ord('1') - 0x20])),
             (names.index('SenSet_Entry_Name'), 0, bytes(ord(c) - 0x20 for c in 'A & B <x>'))]),
    }


# ---- HTTP responses ------------------------------------------------------------------

def http_seeds():
    ok = b'HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n'
    return {
        'values_200': b'\x00' + ok + values_unit,
        'setup_200': b'\x01' + ok + setup_unit[:6000],
        'unauthorized_401': b'\x00HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm="unit"\r\n\r\nno',
        'redirect_302': b'\x00HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n<html>moved</html>',
        'server_error_505': b'\x00HTTP/1.0 505 Version\r\n\r\n',
        'blank_line_in_body': b'\x00HTTP/1.0 200 OK\r\n\r\nfirst\r\n\r\nsecond',
        'header_never_ends': b'\x00HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n',
        'short_status': b'\x00HTTP/1.0 2',
        'body_19999': b'\x00HTTP/1.0 200 OK\r\n\r\n' + b'b' * 19999,
        'body_20000': b'\x00HTTP/1.0 200 OK\r\n\r\n' + b'b' * 20000,
        'long_header': b'\x00HTTP/1.0 200 OK\r\n' + b'X-Pad: ' + b'p' * 2100 + b'\r\n\r\nbody',
        'small_fixed_body': b'\x02\x10' + ok + b'0123456789abcdefghij',
        'growing_body': b'\x03\x00\x01' + ok + values_unit[:1500],
        'short_head_401': b'\x00HTTP/1.0 401\r\n\r\n',
        'bare_lf_head_200': b'\x00HTTP/1.0 200 OK\nServer: unit\n\n<?xml version="1.0"?><Root/>',
        'bare_lf_head_503': b'\x03\x00\x01HTTP/1.0 503\n\r\nbusy',
        'cut_head_401': b'\x00HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic\r\n',
        'garbage': b'\x00garbage, no status line\r\n\r\n<?xml version="1.0"?><Root/>',
        'closed_at_once': b'\x00',
    }


# ---- logs -----------------------------------------------------------------------------

def record(rtype, time, group, pairs, length=None):
    body = b''.join(struct.pack('<Hh', w, s) for w, s in pairs)
    n = (8 + 4 * len(pairs)) & 0xff if length is None else length  # the byte wraps for 62+ pairs
    return struct.pack('<BBiBB', n, rtype, time, group, len(pairs)) + body


def sample_log(n, start=1205589909):
    out = b''
    for k in range(n):
        group = k % 5
        pairs = [(k % 7 + i, (-125 if i % 2 else 7) * (i + 1)) for i in range(1 + k % 4)]
        out += record(k % 3 == 0, start + 60 * k, group, pairs)
    return out


example = bytes.fromhex('100195d7db4703020300 83ff07000100'.replace(' ', ''))


def bin2csv_seeds():
    # Control: type filter, group filter, capacity/clock, exported, [capacity bytes].
    log = sample_log(40)
    return {
        'example_record': bytes([0, 0, 0, 0]) + example,
        'example_exported': bytes([0, 0, 0, 1]) + example,
        'log_40_alarms': bytes([2, 0, 0, 0]) + log,
        'log_40_inputs_utc': bytes([0, 3, 0x04, 0]) + log,
        'log_40_sensors_odd_hours': bytes([1, 1, 0x08, 0]) + log,
        'log_40_nonsense_clock': bytes([0, 0, 0x0c, 0]) + log,
        'log_400_cut_output': bytes([0, 0, 0x01, 0]) + struct.pack('<H', 700) + sample_log(400),
        'small_capacity': bytes([0, 0, 0x02, 0, 40]) + log[:200],
        'length_plus_one': bytes([0, 0, 0x03, 0]) + log,
        'five_bytes': bytes([0, 0, 0, 0]) + b'\x10\x01\x95\xd7\xdb',
        'pairs_missing': bytes([0, 0, 0, 0]) + record(1, 1205589909, 3, [(3, -125), (7, 1), (9, 9)])[:16],
        'dropped_zero_length': bytes([2, 0, 0, 0]) + record(0, 5, 0, [(1, 1)], length=0) + example,
        'dropped_length_3': bytes([2, 0, 0, 0]) + record(0, 5, 0, [(1, 1)], length=3) + example,
        'max_pairs': bytes([0, 0, 0, 0]) + record(1, -1, 4, [(65535, -32768)] * 255),
        'negative_times': bytes([0, 0, 0x04, 0]) + record(0, -2147483648, 1, [(1, 2)]) + record(0, 2147483647, 2, []),
    }


def csv_line(rtype, group, pairs, time='2008/03/15;14:05:09'):
    return '%s;%d;%d;%d;%s' % (time, rtype, group, len(pairs),
                               ''.join('%d;%d;' % p for p in pairs))


def sample_csv(n, end='\r\n'):
    return ''.join(csv_line(k % 3 == 0, k % 5, [(k, -k)] * (1 + k % 3)) + end for k in range(n)).encode()


def csv_filter_seeds():
    # Control: type filter, group filter, buffer shape, [short by].
    text = sample_csv(30)
    return {
        'crlf_all': bytes([0, 0, 0]) + text,
        'crlf_alarms': bytes([2, 0, 1]) + text,
        'crlf_outputs': bytes([0, 4, 2]) + text,
        'lone_lf': bytes([0, 4, 0]) + sample_csv(10, '\n'),
        'lone_cr': bytes([1, 1, 3, 5]) + sample_csv(10, '\r'),
        'short_fields_and_blank_lines': bytes([0, 3, 0]) + b'\r\n\r\nx;y;0;4;\nx;y\n;;;;1;3;\r\n\n\n',
        'long_line': bytes([0, 0, 1]) + b'a;b;1;4;' + b'9' * 12000 + b'\r\nz;z;1;4;\r\n',
        'nul_inside': bytes([0, 0, 0]) + b'a;b;0;0;\r\nc\x00d;e;1;1;\r\n',
    }


def last_line_seeds():
    # Control: reader size (2 bytes), split (2 bytes), flags; then file, then new text.
    lines = [l + b'\r\n' for l in sample_csv(20).split(b'\r\n') if l]
    file = b''.join(lines[:12])
    text = b''.join(lines[8:])

    def seed(size, file, text, flags=1):
        return struct.pack('<HHB', size, len(file), flags) + file + text

    return {
        'overlap': seed(10240, file, text),
        'no_overlap': seed(10240, file, b''.join(lines[14:])),
        'abc': seed(10240, b'a\r\nb\r\n', b'a\r\nb\r\nc\r\n'),
        'single_line': seed(10240, b'L1\r\n', b'L0\r\nL1\r\nL2\r\n'),
        'no_final_line_end': seed(10240, b'a\r\nlast', b'las\r\nx\r\n'),
        'small_reader': seed(8, file, text, 0),
        'ff_byte': seed(10240, b'a\r\nb\xffc\r\n', b'c\r\nd\r\n'),
        'long_last_line': seed(10240, b'x' * 11000 + b'\r\n', b'y\r\n'),
        'empty_file': seed(100, b'', b'a\r\n'),
        'lone_lf_text': seed(10240, b'a\nb\n', b'a\nb\nc\n'),
        # Last lines that fill the reader's scan exactly, and pass it.
        'last_line_at_limit': seed(10240, b'a\r\n' + b'l' * 10237 + b'\r\n', b'l' * 10237 + b'\r\nn\r\n'),
        'last_line_past_limit': seed(10240, b'a\r\n' + b'm' * 10239 + b'\r\n', b'm' * 10239 + b'\r\nn\r\n'),
    }


# ---- dictionaries ------------------------------------------------------------------

def xml_dictionary():
    """Element names of both records, the roots, and the markup a unit's
    documents and hostile ones are made of."""
    names = set()
    for name, _, _ in setup_fields + values_fields:
        names.update(name.split('_'))
    names.update(['Root', 'Entry', 'Idx'])
    words = []
    for n in sorted(names):
        words += ['<%s>' % n, '</%s>' % n, n, '_' + n]
    words += ['<val:Root xmlns:val="urn:kalyx:values">', '</val:Root>', '<set:Root xmlns:set="urn:kalyx:setup">',
              '</set:Root>', '<?xml version="1.0" encoding="utf-8"?>', '<![CDATA[', ']]>', '<!--', '-->',
              '&amp;', '&lt;', '&gt;', '<!-- <set:Root -->', '&#65;', '&#x10FFFF;', '\\x0D\\x0A', '<!DOCTYPE Root [<!ENTITY e "x">]>', '&e;',
              '<Entry><Idx>', '</Idx></Entry>', '<Idx></Idx>']
    return ''.join('"%s"\n' % w.replace('"', '\\"') for w in words)


HTTP_DICTIONARY = ''.join('"%s"\n' % w for w in [
    'HTTP/1.0 ', 'HTTP/1.1 ', 'HTTP/1.0 200', 'HTTP/1.0 401', '\\x0A\\x0A', '\\x0A\\x0D\\x0A', '200 OK', '302 Found', '401 Unauthorized', '404', '417', '418', '500', '505', '506',
    '\\x0D\\x0A', '\\x0D\\x0A\\x0D\\x0A', '\\x0D', '\\x0A', 'Content-Type: text/xml', 'Content-Length: ', '<?xml'])

CSV_DICTIONARY = ''.join('"%s"\n' % w for w in [
    ';', ';;', '\\x0D\\x0A', '\\x0D', '\\x0A', '2008/03/15;14:05:09;', ';0;', ';1;', ';2;', ';3;', ';4;', ';-125;',
    ';65535;', ';-32768;', '\\x00', '\\xff'])


def write_dictionaries():
    d = os.path.join(HERE, '..', 'dicts')
    os.makedirs(d, exist_ok=True)
    xml = xml_dictionary()
    for target, text in [('fuzz_xml_parse', xml), ('fuzz_setup_reduce', xml), ('fuzz_http_receive', HTTP_DICTIONARY),
                         ('fuzz_csv_filter', CSV_DICTIONARY), ('fuzz_last_line', CSV_DICTIONARY)]:
        with open(os.path.join(d, target + '.dict'), 'w') as f:
            f.write('# Written by fuzz/seeds/make_seeds.py\n' + text)


def main():
    write_dictionaries()
    write_all('fuzz_xml_parse', xml_parse_seeds())
    write_all('fuzz_setup_reduce', setup_reduce_seeds())
    write_all('fuzz_http_receive', http_seeds())
    write_all('fuzz_bin2csv', bin2csv_seeds())
    write_all('fuzz_csv_filter', csv_filter_seeds())
    write_all('fuzz_last_line', last_line_seeds())


if __name__ == '__main__':
    main()
