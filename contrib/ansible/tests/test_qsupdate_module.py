"""The module's reading of qsupdate's output, on reports captured from the lab."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'library'))

import qsupdate  # noqa: E402


def captured(name):
    with open(os.path.join(HERE, 'reports', name + '.txt'), encoding='utf-8') as report:
        return qsupdate.parse_report(report.read())


def by_interface(report):
    return {port['interface']: port for port in report['ports']}


class CapturedReports(unittest.TestCase):
    def test_installed_versions_of_three_generations(self):
        report = captured('three-generations')
        ports = by_interface(report)
        self.assertEqual(report['utility_version'], '7.6.1')
        self.assertEqual(list(ports), ['eth0', 'eth1', 'eth2', 'eth3', 'eth4', 'eth5'])
        self.assertEqual(ports['eth0']['mac'], '00-1B-7E-5A-10-00')
        for interface, family, controller_type, firmware in [
            ('eth0', '7.4.3.1008', 'Quillstone QSC1250 family', {
                'controller': {'version': '7.4.3.1008'}, 'bootrom': {'version': '7.4.1.1003'},
                'fpga': {'type': 'timestamp peripheral', 'version': '1.3.0.2'},
                'mum': {'type': 'Micro-controller', 'version': '3.0.2.5'},
                'uefi': {'version': '3.1.0.6'},
                'bundle': {'type': 'Y3552', 'version': '7.4.3.1008'}}),
            ('eth3', '4.7.1.1010', 'Quillstone QSC1100 family', {
                'controller': {'version': '4.7.1.1010'}, 'bootrom': {'version': '4.7.0.1002'},
                'mum': {'type': 'Micro-controller', 'version': '1.4.0.9'}}),
            # Labels of 19 columns and more are followed by one blank only.
            ('eth4', '3.3.2.1000', 'Quillstone QSC1000 family', {
                'phy': {'type': 'QT2025C', 'version': '2.0.2.5'},
                'controller': {'version': '3.3.2.1000'}, 'bootrom': {'version': '3.3.1.1001'},
                'fpga': {'type': 'KVE peripheral', 'version': '1.1.0.12'},
                'fpga_diag': {'type': 'KVE peripheral', 'version': '1.0.0.7'},
                'kve': {'type': 'KVE controller', 'version': '1.2.0.3'},
                'cpld': {'type': '1902 CPLD', 'version': '1.0.0.4'}}),
        ]:
            with self.subTest(interface=interface):
                port = ports[interface]
                self.assertEqual(port['family_version'], family)
                self.assertEqual(port['controller_type'], controller_type)
                self.assertEqual(port['firmware'], firmware)
                self.assertEqual({v['verdict'] for v in port['verdicts'].values()}, {'no_image'})
                self.assertEqual(set(port['verdicts']), set(firmware))
                self.assertEqual(port['raw'], [])
        self.assertEqual(report['raw'], [])

    def test_verdicts_against_an_image(self):
        for name, force, verdict, expected in [
            ('newer-image', False, {'verdict': 'newer', 'version': '7.4.4.1000'},
             [('eth0', 'controller', '7.4.4.1000'), ('eth1', 'controller', '7.4.4.1000')]),
            ('forced', False, {'verdict': 'forced', 'version': None}, []),
            ('forced', True, {'verdict': 'forced', 'version': None},
             [('eth0', 'controller', None), ('eth1', 'controller', None)]),
        ]:
            with self.subTest(report=name, force=force):
                report = captured(name)
                self.assertEqual(report['ports'][0]['verdicts'], {'controller': verdict})
                pending = qsupdate.pending_updates(report, force)
                self.assertEqual([(p['interface'], p['kind'], p['version']) for p in pending],
                                 expected)
                self.assertTrue(all(port['raw'] == [] for port in report['ports']))

    def test_unknown_lines_stay_with_their_port(self):
        ports = by_interface(captured('damaged-configs'))
        self.assertEqual(ports['eth0']['raw'],
                         ['(Partition map: TLV cursor in broken state initially)'])
        self.assertEqual(ports['eth1']['raw'], [])
        self.assertEqual(ports['eth2']['raw'][0], '(Dynamic configuration: checksum is incorrect)')
        self.assertEqual(ports['eth2']['raw'][-1], '=====')
        self.assertTrue(all(port['firmware'] == {} for port in ports.values()))


PORT = 'eth7 - MAC: 00-1B-7E-5A-10-07\n'


class Lines(unittest.TestCase):
    def port(self, lines):
        report = qsupdate.parse_report(PORT + lines)
        self.assertEqual(len(report['ports']), 1)
        return report['ports'][0]

    def test_lines_off_the_format_are_raw(self):
        for line in [
            '    Controller version:  v7.4.3.1008',   # one blank too many
            '    Controller version:v7.4.3.1008',     # none
            '   Controller version: v7.4.3.1008',     # indented by three
            '    Widget version:     v1.0.0.0',       # no such kind
            '    Controller version: 7.4.3.1008',     # no "v"
            '    PHY version:        iPXE',           # only a boot ROM can be iPXE
            '    Firmware version:   unknown',
            'The flux capacitor is up to date',
            '   - run "qsupdate --write" to perform an update',  # advice without a verdict
            'This is more recent controller firmware [7.4.4.1000]',
        ]:
            with self.subTest(line=line):
                port = self.port(line + '\n')
                self.assertEqual(port['raw'], [line])
                self.assertEqual((port['firmware'], port['verdicts']), ({}, {}))

    def test_ipxe_unknown_and_long_labels(self):
        port = self.port('    Boot ROM version:   iPXE\n'
                         '    UEFI ROM version:   unknown\n'
                         '    Diagnostic FPGA version: v1.0.0.7\n'
                         '\nThe current Boot ROM is an iPXE image.\n'
                         'This utility contains more recent UEFI ROM firmware [v3.2.0.1]\n'
                         '   - run "qsupdate --write" to perform an update\n')
        self.assertEqual(port['firmware'], {'bootrom': {'version': 'iPXE'},
                                            'uefi': {'version': None},
                                            'fpga_diag': {'version': '1.0.0.7'}})
        self.assertEqual(port['verdicts'], {'bootrom': {'verdict': 'ipxe', 'version': None},
                                            'uefi': {'verdict': 'newer', 'version': '3.2.0.1'}})
        self.assertEqual(port['raw'], [])

    def test_port_reached_only_through_another(self):
        for text, use in [('    Firmware cannot be accessed via this interface,\n'
                           '    please use eth6.\n', 'eth6'),
                          ('    Firmware cannot be accessed via this interface.\n', None)]:
            with self.subTest(use=use):
                port = self.port(text + "\nDynamic configuration is corrupt. Run 'qsboot -i eth7"
                                 " --repair' to revert back to firmware defaults.\n")
                self.assertFalse(port['accessible'])
                self.assertEqual(port['use_interface'], use)
                self.assertEqual(len(port['messages']), 1)
                self.assertEqual(port['raw'], [])


class WriteOutput(unittest.TestCase):
    def test_written_kinds_from_progress_output(self):
        out = ('eth0: updating controller firmware from 7.4.3.1008 to 7.4.4.1000\n'
               'eth0: writing controller firmware\n'
               '[  0%] Erasing      \r[100%] Complete     \n'
               'eth0: writing version information\n'
               'eth4: writing PHY firmware\r[ 50%] Writing\r\n')
        self.assertEqual(qsupdate.written(out), [{'interface': 'eth0', 'kind': 'controller'},
                                                 {'interface': 'eth4', 'kind': 'phy'}])
        self.assertEqual(qsupdate.written('eth0: not changing controller firmware\n'), [])

    def test_versions_before_and_after(self):
        before = captured('newer-image')['ports']
        after = [dict(before[0], firmware={'controller': {'version': '7.4.4.1000'}})]
        self.assertEqual(qsupdate.version_changes(before, after),
                         [{'interface': 'eth0', 'kind': 'controller',
                           'before': '7.4.3.1008', 'after': '7.4.4.1000'}])


if __name__ == '__main__':
    unittest.main()
