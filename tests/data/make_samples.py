#!/usr/bin/env python3
"""Writes the sample values and setup documents of tests/data.

The field lists are read from include/kalax/zxxml_records.h, so the samples
follow the records. setup_full.xml is written in exactly the form the setup
writer produces (a test checks that parsing and rewriting it gives the same
bytes); the *_unit.xml files look like what a unit serves: a namespaced root,
CRLF line ends, indentation, a comment and an element the records do not know.

Run from anywhere: python3 tests/data/make_samples.py
"""
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
HEADER = os.path.join(HERE, '..', '..', 'include', 'kalax', 'zxxml_records.h')


def fields(macro):
    """[(name, width, list or None)] in record order."""
    text = open(HEADER).read()
    body = re.search(r'#define ' + macro + r'\(F, L\)(.*?)\n\n', text, re.S).group(1)
    out = []
    for kind, args in re.findall(r'\b([FL])\(([^)]*)\)', body):
        a = [x.strip() for x in args.split(',')]
        if kind == 'F':
            out.append((a[0], int(a[1]), None))
        else:
            out.append((a[2], int(a[3]), a[0]))
    return out


PLAIN = {
    'Agent_Version': '2.4.11', 'Agent_XmlVer': '1.3', 'Agent_DeviceName': 'Kalyx Rack 7',
    'Agent_Model': 'KX64', 'Agent_VendorID': '40125', 'Agent_MAC': '00:1B:C5:0A:44:7E',
    'Agent_Title': 'Server room B, rack 7', 'Agent_Contact': 'noc@example.net',
    'Status_NtpState': 'synchronised', 'TemperRange_Min': '-40', 'TemperRange_Max': '125',
    'BinaryInSet_AlarmAction': 'notify', 'AlarmSet_Subj': 'Alarm on %n', 'AlarmSet_Body': '%n is %v',
    'Counters_E': '1', 'Counters_Int': '60', 'BinSetG_AlarmDest': '1',
    'Global_Units': 'C', 'Global_Logo': 'Kalyx', 'Global_ZXSec': '0', 'Global_AlarmDelay': '10',
    'Network_Name': 'rack7', 'Network_IPAddr': '192.0.2.50', 'Network_Submask': '255.255.255.0',
    'Network_Gateway': '192.0.2.1', 'Network_HTTPport': '80', 'Network_TelnetPort': '23',
    'Network_SNMPPort': '161', 'Network_DNSPrimary': '192.0.2.2', 'Network_DNSSecondary': '192.0.2.3',
    'Network_DHCP': '0', 'Email_Server': 'mail.example.net', 'Email_Port': '25',
    'Email_From': 'rack7@example.net', 'Email_To': 'noc@example.net', 'Email_Subject': 'Rack 7',
    'Email_Auth': '1', 'Email_Name': 'rack7', 'Email_Pswd': 'secret', 'Email_State': '0',
    'Email_Message': 'Rack 7 reports an alarm', 'Time_SNTPServer': 'pool.example.net',
    'Time_TimeShift': '60', 'Time_Date': '2024-03-11', 'Time_Time': '08:15:02', 'Time_Port': '123',
    'Time_Period': '3600', 'SMS_E': '0', 'SMS_Module': 'none', 'SMS_CenterNmr': '+15550100',
    'SMS_Recp1': '+15550101', 'SMS_Recp2': '+15550102', 'SMS_RingOut': '0', 'SMS_State': '0',
    'SMS_Message': 'Alarm', 'DataLogger_StorePeriod': '60', 'DataLogger_LogCapacity': '65536',
    'DataLogger_LogBins': '1', 'DataLogger_Report_E': '0', 'DataLogger_Report_To': 'noc@example.net',
    'DataLogger_Report_Period': '86400', 'DataLogger_Report_Erase': '0',
    'HTTPIPFilter_IPAddr': '0.0.0.0', 'HTTPIPFilter_Mask': '0.0.0.0',
    'SNMPIPFilter_IPAddr': '0.0.0.0', 'SNMPIPFilter_Mask': '0.0.0.0',
    'MIBIISysGroup_SysContact': 'noc@example.net', 'MIBIISysGroup_SysName': 'rack7',
    'MIBIISysGroup_SysLocation': 'Building B', 'Info': '1',
    'Time_Date_values': '2024-03-11',
}


def entry_value(lst, name, k):
    """Text of the entry field `name` (the part after "Entry_") of entry k."""
    n = k + 1
    if name == 'Idx':
        return str(n)
    if name.startswith('Dest_'):
        return {'Delay': '5', 'E': '1'}.get(name[5:], '1' if name.endswith('1') else '0')
    table = {
        'BinaryInSet': {'ID': str(100 + k), 'Name': 'Input %d' % n, 'NameOpen': 'Open',
                        'NameClose': 'Closed', 'Cnt': str(k * 37 % 1000), 'Value': str(k % 2),
                        'AlarmState': '1', 'Alarm': 'Door %d open' % n, 'Color': '1', 'State': '0',
                        'Mask1': '0', 'Mask2': '0', 'SNMPTrap': '1', 'EmailSMS': '0'},
        'BinaryOutSet': {'ID': str(200 + k), 'Name': 'Relay %d' % n, 'NameOpen': 'Off',
                         'NameClose': 'On', 'Value': str(k % 2), 'Type': '1', 'Mode': 'manual',
                         'CondInputID': str(100 + k), 'Trigger': 'none'},
        'SenSet': {'Name': 'Temp %d' % n, 'ID': str(300 + k), 'Units': 'C', 'Value': '%.1f' % (18 + k * 0.3),
                   'Min': '-10.0', 'Max': '45.0', 'Hyst': '0.5', 'E': '1', 'SNMPTrap': '1',
                   'EmailSMS': '0', 'Color': '1', 'State': '0', 'Calib': '0.0'},
        'TempRangeSet': {'Min': '-5.0', 'Max': '40.0', 'Alarm': 'Range %d' % n},
        'GroupSet': {'Name': 'Group %d' % n, 'Out': str(200 + k), 'OutState': '1',
                     'Alarm_Subj': 'Group %d alarm' % n, 'Alarm_Body': 'Check group %d' % n},
        'SnmpTraps': {'Community': 'public', 'IPaddr': '192.0.2.%d' % (10 + k), 'Port': '162', 'E': '1'},
        'MailDest': {'To': 'ops%d@example.net' % n, 'Cc': 'lead%d@example.net' % n, 'E': '1'},
        'SnmpAccess': {'Community': ['public', 'private'][k % 2], 'R': '1', 'W': str(k % 2), 'E': '1'},
        'User': {'Name': ['admin', 'viewer'][k % 2], 'Pswd': ['s3cret', 'look'][k % 2]},
    }
    return table[lst][name]


def value(name, lst, k, width):
    text = entry_value(lst, name.split('_Entry_', 1)[1], k) if lst else PLAIN[name]
    assert len(text) <= width - 2, (name, text)
    return text


def writer_form(flds, counts):
    """The setup writer's form: declaration, LF before every line, no indentation."""
    out = ['<?xml version="1.0" encoding="utf-8"?>']
    open_ = []

    def sync(target):
        common = 0
        while common < len(open_) and common < len(target) and open_[common] == target[common]:
            common += 1
        while len(open_) > common:
            out.append('\n</%s>' % open_.pop())
        for t in target[common:]:
            out.append('\n<%s>' % t)
            open_.append(t)

    i = 0
    prev = None
    while i < len(flds):
        name, width, lst = flds[i]
        parts = ['Root'] + name.split('_')
        if lst:
            run = [f for f in flds[i:] if f[2] == lst]
            run = flds[i:i + len(run)]
            sync(parts[:2])
            for k in range(counts[lst]):
                out.append('\n<Entry>')
                open_.append('Entry')
                for fname, fwidth, _ in run:
                    fparts = ['Root'] + fname.split('_')
                    sync(fparts[:-1])
                    out.append('\n<%s>%s</%s>' % (fparts[-1], value(fname, lst, k, fwidth), fparts[-1]))
                sync(parts[:3])
                out.append('\n</Entry>')
                open_.pop()
            prev = (lst, parts[1])
            i += len(run)
            continue
        if prev and prev[1] == parts[1]:
            out.append('\n')
        sync(parts[:-1])
        out.append('\n<%s>%s</%s>' % (parts[-1], value(name, None, 0, width), parts[-1]))
        prev = None
        i += 1
    sync([])
    return ''.join(out)


def unit_form(flds, counts, root, xmlns, extra=None):
    """What a unit serves: namespaced root, CRLF, two-space indentation."""
    lines = ['<?xml version="1.0" encoding="utf-8"?>', '<%s xmlns:%s="%s">' % (root, root.split(':')[0], xmlns),
             '  <!-- served by the unit -->']
    groups = []
    for name, width, lst in flds:
        g = name.split('_')[0]
        if not groups or groups[-1][0] != g:
            groups.append((g, []))
        groups[-1][1].append((name, width, lst))

    def leaf(indent, fname, text):
        tag = fname.split('_')[-1]
        return '%s<%s>%s</%s>' % ('  ' * indent, tag, text, tag)

    def nested(indent, rel, items):
        # rel: list of (components below the current level, name, width, text)
        out = []
        i = 0
        while i < len(items):
            comps, fname, text = items[i]
            if len(comps) == 1:
                out.append(leaf(indent, fname, text))
                i += 1
                continue
            j = i
            while j < len(items) and len(items[j][0]) > 1 and items[j][0][0] == comps[0]:
                j += 1
            out.append('%s<%s>' % ('  ' * indent, comps[0]))
            out += nested(indent + 1, None, [(c[1:], f, t) for c, f, t in items[i:j]])
            out.append('%s</%s>' % ('  ' * indent, comps[0]))
            i = j
        return out

    for g, gf in groups:
        lines.append('  <%s>' % g)
        if extra and g in extra:
            lines.append('    ' + extra[g])
        entries = [f for f in gf if f[2]]
        plain = [f for f in gf if not f[2]]
        if g == 'Info':
            lines[-1] = '  <Info>%s</Info>' % PLAIN['Info']
            continue
        if entries:
            lst = entries[0][2]
            for k in range(counts[lst]):
                lines.append('    <Entry>')
                items = [(n.split('_Entry_', 1)[1].split('_'), n, value(n, lst, k, w)) for n, w, _ in entries]
                lines += nested(3, None, items)
                lines.append('    </Entry>')
        items = [(n.split('_', 1)[1].split('_'), n, value(n, None, 0, w)) for n, w, _ in plain]
        lines += nested(2, None, items)
        lines.append('  </%s>' % g)
    lines.append('</%s>' % root)
    return '\r\n'.join(lines) + '\r\n'


def write(name, text):
    with open(os.path.join(HERE, name), 'w', newline='') as f:
        f.write(text)
    print('%-20s %6d bytes' % (name, len(text.encode())))


def main():
    setup = fields('ZXXML_SETUP_FIELDS')
    values = fields('ZXXML_VALUES_FIELDS')
    full = {'BinaryInSet': 64, 'BinaryOutSet': 64, 'SenSet': 42, 'TempRangeSet': 42, 'GroupSet': 42,
            'SnmpTraps': 4, 'MailDest': 4, 'SnmpAccess': 2, 'User': 2}
    unit = {'BinaryInSet': 3, 'BinaryOutSet': 2, 'SenSet': 4, 'TempRangeSet': 4, 'GroupSet': 1,
            'SnmpTraps': 2, 'MailDest': 1, 'SnmpAccess': 2, 'User': 2}
    write('setup_full.xml', writer_form(setup, full))
    write('setup_unit.xml', unit_form(setup, unit, 'set:Root', 'urn:kalyx:setup'))
    write('values_full.xml', unit_form(values, full, 'val:Root', 'urn:kalyx:values'))
    write('values_unit.xml', unit_form(values, unit, 'val:Root', 'urn:kalyx:values',
                                       extra={'Agent': '<Uptime>86400</Uptime>'}))


if __name__ == '__main__':
    main()
