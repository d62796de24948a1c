#!/usr/bin/python3
"""A mail server of the test's own: plain SMTP on a loopback port, each mail
written decoded (recipients, subject, body) into a folder; the first
`refuse` mails are turned away with a temporary error.

    smtp_sink.py PORT FOLDER REFUSE
"""
import asyncio
import email
import email.policy
import os
import sys

from aiosmtpd.smtp import SMTP


class Sink:
    def __init__(self, folder, refuse):
        self.folder, self.refuse, self.count = folder, refuse, 0

    async def handle_DATA(self, server, session, envelope):
        if self.refuse > 0:
            self.refuse -= 1
            return "451 4.3.0 try again later"
        msg = email.message_from_bytes(envelope.original_content, policy=email.policy.default)
        text = "Rcpt: %s\nSubject: %s\n\n%s" % (",".join(envelope.rcpt_tos), msg["subject"], msg.get_content())
        self.count += 1
        path = os.path.join(self.folder, "%04d.txt" % self.count)
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            f.write(text)
        os.rename(path + ".tmp", path)
        return "250 OK"


async def main():
    port, folder, refuse = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    sink = Sink(folder, refuse)
    server = await asyncio.get_running_loop().create_server(lambda: SMTP(sink), "127.0.0.1", port)
    await server.serve_forever()


asyncio.run(main())
