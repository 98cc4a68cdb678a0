"""Writes the manual page qvs-release(1) from the built tool's own help texts, so that the page and
`--help` can never say different things: the synopsis and the list of commands come from
`qvs-release --help`, each command's section from `qvs-release COMMAND --help`, the version from
`qvs-release --version`. Only what no help text holds is written here: the exit status, the files
of a site, the environment and the examples.

    python3 man_page.py path/to/qvs-release > qvs-release.1
"""

import re
import subprocess
import sys

EXIT_STATUS = [
    ("0", "success: the key was made, the release signed or published; for verify, verify-site and check, the "
          "package matches its signed descriptor (and, with check --expect-site, the service serves that tree)"),
    ("1", "any other failure: a file that cannot be read or written, an untrusted signature, a malformed "
          "descriptor, a refused key, a request the launcher would refuse; the reason is on standard error"),
    ("2", "wrong arguments; the command's usage follows the reason"),
    ("3", "verify, verify-site, check: the signature and descriptor are fine, the package does not match them"),
]

SITE_FILES = [
    ("downloads/client/stable.manifest", "the update descriptor of the current release"),
    ("downloads/client/stable.manifest.sig", "its 64-byte signature, r then s"),
    ("downloads/client/packages/NAME", "the published packages; a name once published never changes"),
    ("downloads/client/log/checkpoint, log/tile/..., log/proof/LEAF", "the release log: its signed checkpoint, "
     "hash tiles and entry bundles, and each entry's proof (with --log-key)"),
    ("qvs-site-key.pub", "the public key the site is published for; never served"),
    ("qvs-site-recovery-key.pub", "the public half of the update key's recovery key, when recorded; never served"),
    ("qvs-log-key.vkey", "the log's verifier keys, one a line: its Ed25519 key, then the P-256 key launchers "
                         "check; auditors give it to check and audit-log as --log-public-key; never served"),
    ("qvs-log-recovery-key.vkey", "the verifier key of the recovery key for the launchers' log key, when recorded"),
    ("qvs-key-switches.txt", "every switch to a recovery key: when, which key, from which to which"),
    ("qvs-publish.lock", "one publish at a time; never served"),
    ("qvs-publish.staging/, qvs-publish.pending/", "a publish in progress, or one that was stopped and is "
                                                   "completed or undone by the next; never served"),
]

ENVIRONMENT = [
    ("QVS_PKCS11_MODULE", "the PKCS#11 module of the token that holds a key named by a pkcs11: URI, when "
                          "--pkcs11-module is not given"),
    ("https_proxy, no_proxy", "check, audit-log and upload reach the service or the object store through this "
                              "proxy (libcurl's variables; HTTPS_PROXY and NO_PROXY too), as a publisher's network "
                              "may need; launchers use the Windows proxy settings instead"),
    ("AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN", "upload's credentials for the object store, "
                                                                     "when --credentials is not given; never printed"),
    ("AWS_PROFILE", "the section of upload's --credentials file, when --profile is not given (default: default)"),
    ("AWS_REGION, AWS_DEFAULT_REGION", "the region upload signs for, when --region is not given (default: us-east-1)"),
]

EXAMPLES = [
    ("Make the update key and publish the first release",
     "qvs-release keygen --encrypt --private-key update-key.pem --public-key update-key.pub\n"
     "qvs-release publish --private-key update-key.pem --site site --version 1.0.0 \\\n"
     "    --package QuorvantisSupportHost.exe\n"
     "qvs-release verify-site site"),
    ("A release pipeline: publish, upload into a bucket behind a CDN, then wait until the CDN serves it",
     "qvs-release publish --private-key update-key.pem --site site --version 1.0.1 \\\n"
     "    --package QuorvantisSupportHost.exe --log-key log-key.pem --json > published.json\n"
     "qvs-release upload --endpoint https://objects.example.net site s3://qvs-updates \\\n"
     "    --check updates.example.com --public-key update-key.pub \\\n"
     "    --log-public-key site/qvs-log-key.vkey --wait 300"),
    ("The same for a plain web server: the log and packages, then the checkpoint, then the pair",
     "rsync -a --exclude /client/log/checkpoint --exclude /client/stable.manifest \\\n"
     "    --exclude /client/stable.manifest.sig site/downloads/ web:/srv/qvs/site/downloads/\n"
     "rsync -a site/downloads/client/log/checkpoint web:/srv/qvs/site/downloads/client/log/\n"
     "rsync -a --delay-updates site/downloads/client/stable.manifest site/downloads/client/stable.manifest.sig \\\n"
     "    web:/srv/qvs/site/downloads/client/\n"
     "qvs-release check --public-key update-key.pub --expect-site site --wait 300 --strict updates.example.com"),
    ("Monitor the release log every day",
     "qvs-release audit-log --public-key update-key.pub --log-public-key qvs-log-key.vkey \\\n"
     "    --log-state audit.state updates.example.com"),
]


def run(tool, *args):
    completed = subprocess.run([tool, *args], capture_output=True, text=True, check=True)
    return completed.stdout


def escape(text):
    """Text as roff prints it: backslashes and hyphens literal, no line taken for a request."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join(("\\&" + line) if line.startswith((".", "'")) else line for line in text.splitlines())


def commands(tool_help):
    """(name, summary) of each command that the tool's help lists."""
    listed = tool_help.split("Commands:\n", 1)[1].split("\n\n", 1)[0]
    return [tuple(re.split(r"\s{2,}", line.strip(), maxsplit=1)) for line in listed.splitlines() if line.strip()]


def page(tool):
    tool_help = run(tool, "--help")
    version = run(tool, "--version").strip()
    description = tool_help.split("\n\n")[1].strip()
    lines = [
        f'.TH QVS\\-RELEASE 1 "" "{escape(version)}" "User Commands"',
        ".SH NAME",
        "qvs\\-release \\- " + escape(description[0].lower() + description[1:].rstrip(".")),
        ".SH SYNOPSIS",
        ".B qvs\\-release",
        ".I COMMAND",
        "[\\fIOPTIONS\\fR]",
        ".br",
        ".B qvs\\-release",
        "\\fICOMMAND\\fR \\-\\-help | \\-\\-help | \\-\\-version",
        ".SH DESCRIPTION",
        escape(description),
        ".PP",
        "Commands:",
    ]
    for name, summary in commands(tool_help):
        lines += [".TP", f"\\fB{escape(name)}\\fR", escape(summary)]
    lines.append(".SH COMMANDS")
    for name, _ in commands(tool_help):
        lines += [f".SS {escape(name)}", ".nf", escape(run(tool, name, "--help").rstrip("\n")), ".fi"]
    lines.append(".SH EXIT STATUS")
    for code, meaning in EXIT_STATUS:
        lines += [".TP", f"\\fB{code}\\fR", escape(meaning)]
    lines += [".SH FILES", "What publish writes in a site folder (--site DIR):"]
    for path, meaning in SITE_FILES:
        lines += [".TP", f"\\fI{escape(path)}\\fR", escape(meaning)]
    lines.append(".SH ENVIRONMENT")
    for name, meaning in ENVIRONMENT:
        lines += [".TP", f"\\fB{name}\\fR", escape(meaning)]
    lines.append(".SH EXAMPLES")
    for title, commands_text in EXAMPLES:
        lines += [".PP", escape(title) + ":", ".PP", ".nf", ".RS 4", escape(commands_text), ".RE", ".fi"]
    lines += [".SH SEE ALSO", "\\fBopenssl\\fR(1), \\fBpkcs11\\-tool\\fR(1), \\fBsofthsm2\\-util\\fR(1)"]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.stdout.write(page(sys.argv[1]))
