#!/usr/bin/env python3
"""An SMTP server for the service's tests, on loopback.

Accepts mail over STARTTLS (required), implicit TLS or, with --no-tls, in the clear; with or
without a required login; and
writes each message into FOLDER as NNNN.eml, preceded by the envelope and the login as
"X-Sink-" lines. Prints "PORT PID" once it listens. Exits on SIGTERM.
"""
import argparse
import asyncio
import os
import pathlib
import signal
import ssl

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        data = session.auth_data
        login = data.login.decode() if isinstance(data, LoginPassword) else ""
        head = (
            f"X-Sink-From: {envelope.mail_from}\r\n"
            f"X-Sink-To: {','.join(envelope.rcpt_tos)}\r\n"
            f"X-Sink-Login: {login}\r\n"
        ).encode()
        name = self.folder / f"{self.count:04d}.eml"
        partial = name.with_suffix(".part")
        partial.write_bytes(head + envelope.original_content)
        partial.rename(name)
        return "250 OK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--no-tls", action="store_true")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)

    def authenticate(server, session, envelope, mechanism, data):
        ok = (
            isinstance(data, LoginPassword)
            and data.login.decode() == args.user
            and data.password.decode() == args.password
        )
        return AuthResult(success=ok, handled=False, auth_data=data)

    sink = Sink(args.folder)

    def protocol():
        options = dict(
            hostname="localhost",
            authenticator=authenticate,
            auth_required=bool(args.user),
            # Over implicit TLS the session is encrypted from the start, but only STARTTLS
            # counts as TLS for the login here.
            auth_require_tls=not (args.no_tls or args.implicit_tls),
        )
        if not args.implicit_tls and not args.no_tls:
            options.update(tls_context=context, require_starttls=True)
        return SMTP(sink, **options)

    async def serve():
        loop = asyncio.get_running_loop()
        stop = loop.create_future()
        loop.add_signal_handler(signal.SIGTERM, stop.set_result, None)
        server = await loop.create_server(
            protocol,
            "127.0.0.1",
            args.port,
            ssl=context if args.implicit_tls else None,
        )
        port = server.sockets[0].getsockname()[1]
        print(f"{port} {os.getpid()}", flush=True)
        await stop
        server.close()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
