#!/usr/bin/python3
"""A reference RFC 2217 server for the network port's tests.

pyserial's PortManager in front of a loop:// port (every byte written comes
back), on 127.0.0.1 at a free port, one client at a time. A second local port
takes line commands from the test that inspect and steer the served port:

  state        -> "baud=.. bytesize=.. parity=.. stopbits=.. xonxoff=.. rtscts=.. rts=.. dtr=.. break=.."
  events       -> the break/RTS/DTR changes since the last "events", comma separated
  cd 0|1       -> sets carrier detect and notifies the client
  hold 0|1     -> stops / resumes passing the port's bytes to the client
  queued       -> number of bytes waiting in the port
  send HEX     -> puts bytes into the port (they go to the client)
  drop         -> closes the client's connection
  quit         -> ends the server

Prints "PORTS <rfc2217 port> <control port>" when ready.
"""

import os
import socket
import sys
import threading
import time

import serial.rfc2217
from serial.urlhandler.protocol_loop import Serial as LoopSerial


class ServedPort(LoopSerial):
    """loop:// with a settable carrier-detect line and a log of line changes."""

    def __init__(self):
        self.carrier = False
        self.events = []
        self.events_lock = threading.Lock()
        super().__init__('loop://', timeout=0.05)

    def _log(self, text):
        with self.events_lock:
            self.events.append(text)

    def _update_break_state(self):
        self._log('break %d' % int(self._break_state))

    def _update_rts_state(self):
        self._log('rts %d' % int(self._rts_state))

    def _update_dtr_state(self):
        self._log('dtr %d' % int(self._dtr_state))

    @property
    def cd(self):
        return self.carrier


class Server:
    def __init__(self):
        self.port = ServedPort()
        with self.port.events_lock:
            self.port.events.clear()
        self.hold = False
        self.client = None
        self.manager = None
        self.lock = threading.Lock()  # socket writes and manager access

    # The PortManager's connection: raw writes to the client.
    def write(self, data):
        client = self.client
        if client is not None:
            try:
                client.sendall(data)
            except OSError:
                pass

    def serve(self, listener):
        while True:
            client, _ = listener.accept()
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.client = client
                self.manager = serial.rfc2217.PortManager(self.port, self)
            try:
                while True:
                    data = client.recv(4096)
                    if not data:
                        break
                    with self.lock:
                        if self.manager is None:
                            break
                        payload = b''.join(self.manager.filter(data))
                    if payload:
                        self.port.write(payload)
            except OSError:
                pass
            with self.lock:
                if self.client is client:
                    self.client = None
                    self.manager = None
            try:
                client.close()
            except OSError:
                pass

    def pump_port(self):
        """Passes the port's bytes to the client, escaped."""
        while True:
            waiting = 0 if self.hold else self.port.in_waiting
            if waiting == 0:
                time.sleep(0.002)
                continue
            data = self.port.read(waiting)
            with self.lock:
                if self.manager is not None:
                    self.write(b''.join(self.manager.escape(data)))

    def poll_lines(self):
        while True:
            time.sleep(0.02)
            with self.lock:
                if self.manager is not None:
                    self.manager.check_modem_lines()

    def drop(self):
        with self.lock:
            client = self.client
            self.client = None
            self.manager = None
        if client is not None:
            try:
                client.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            client.close()

    def command(self, line):
        words = line.split()
        if not words:
            return 'error'
        p = self.port
        if words[0] == 'state':
            return 'baud=%d bytesize=%d parity=%s stopbits=%s xonxoff=%d rtscts=%d rts=%d dtr=%d break=%d' % (
                p.baudrate, p.bytesize, p.parity, p.stopbits, p.xonxoff, p.rtscts, p.rts, p.dtr,
                p.break_condition)
        if words[0] == 'events':
            with p.events_lock:
                text = ','.join(p.events)
                p.events.clear()
            return text
        if words[0] == 'cd':
            p.carrier = words[1] == '1'
            with self.lock:
                if self.manager is not None:
                    self.manager.check_modem_lines()
            return 'ok'
        if words[0] == 'hold':
            self.hold = words[1] == '1'
            return 'ok'
        if words[0] == 'queued':
            return str(p.in_waiting)
        if words[0] == 'send':
            p.write(bytes.fromhex(words[1]))
            return 'ok'
        if words[0] == 'drop':
            self.drop()
            return 'ok'
        return 'error'


def control(server, listener):
    while True:
        conn, _ = listener.accept()
        with conn, conn.makefile('rw', newline='\n') as f:
            for line in f:
                if line.strip() == 'quit':
                    f.write('ok\n')
                    f.flush()
                    server.drop()
                    os._exit(0)
                f.write(server.command(line) + '\n')
                f.flush()


def main():
    server = Server()
    rfc = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    rfc.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    rfc.bind(('127.0.0.1', 0))
    rfc.listen(4)
    ctl = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ctl.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ctl.bind(('127.0.0.1', 0))
    ctl.listen(4)
    for target, args in ((server.serve, (rfc,)), (server.pump_port, ()), (server.poll_lines, ()),
                         (control, (server, ctl))):
        threading.Thread(target=target, args=args, daemon=True).start()
    print('PORTS %d %d' % (rfc.getsockname()[1], ctl.getsockname()[1]), flush=True)
    # Ends with the test: stdin closes when the test's pipe goes.
    try:
        sys.stdin.read()
    except Exception:
        pass


if __name__ == '__main__':
    main()
