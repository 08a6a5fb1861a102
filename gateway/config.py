"""The MCP servers to start or reach, read from the configuration shapes MCP clients share.

Claude Desktop, Claude Code and Cursor write {"mcpServers": {name: entry}}; VS Code
writes {"servers": {name: entry}} with a "type" on every entry. An entry is a
program started over stdio ("command", "args", "env", "cwd") or a remote server
("url", with "type" "http" / "streamable-http" (the default) or "sse", and
"headers", and "auth" for a server that asks for an OAuth token). An entry with
"disabled": true is left out, as those clients leave it out.

"command", "args", "env", "cwd", "url" and header values take the variables those
clients expand, anywhere in the text: "${env:NAME}" (VS Code, Cursor), "${NAME}"
and "${NAME:-default}" (Claude Code) an environment variable; VS Code's
"${workspaceFolder}" (the file's folder, or the one above a .vscode or .cursor
folder), "${workspaceFolderBasename}", "${userHome}" and "${pathSeparator}"; in a
header, "${file:PATH}" a file's content (PATH relative to the file's folder). A
variable that is not set and has no default stops its entry, naming the variable.
VS Code's "envFile" names a file of NAME=value lines for the server's
environment ("env" wins over it). Values in "env" may be numbers or booleans, as
those clients accept them.

"auth" chooses how the gateway gets its token:
  {"flow": "authorization_code"}   (the default; `{}` says the same) a person signs
      in once with `gateway login NAME`; optional "clientId" and "clientSecret"
      of a client registered beforehand, "clientMetadataUrl" (an https URL that
      is the client's ID where the server accepts such documents), "callbackPort"
      (the loopback port of the sign-in's redirect, for a client registered with one)
  {"flow": "client_credentials", "clientId": ..., "clientSecret": ...}  a machine's
      own credentials, or "privateKey" (PEM) and "signingAlgorithm" instead of a secret
"clientSecret" and "privateKey" must be references: a secret is not written in
the file itself.

Any entry may also say how its calls are made: "timeout" (seconds, over the
gateway's --timeout), and which tools only read where the server's annotations
say otherwise or nothing (MCP takes a tool without "readOnlyHint" as one that
may write): "readOnly": true (or false) for every tool of the server, and
"readOnlyTools" / "writeTools", lists of tool names that win over both.
"""

import json
import logging
import os
import re
import shutil
from collections.abc import AsyncIterator, Callable
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal
from urllib.parse import urlsplit

if TYPE_CHECKING:
    from mcp.server.fastmcp import FastMCP

# The bundled example servers and their configuration: an installed wheel carries
# examples/ inside the package, a source checkout keeps it beside the package.
_PACKAGE = Path(__file__).resolve().parent
BUNDLED = next((folder / "servers.json" for folder in (_PACKAGE / "examples", _PACKAGE.parent / "examples")
                if (folder / "servers.json").is_file()), _PACKAGE / "examples" / "servers.json")
# The HTTP side's defaults, here so the command line needs no HTTP import.
DEFAULT_BODY_LIMIT = 1 << 20  # largest HTTP request body
DEFAULT_BATCH_LIMIT = 16  # requests in one JSON array body; Apollo's batching link sends up to 10
NPM_DIR_VARIABLE = "GATEWAY_NPM_DIR"  # the npm folder GraphiQL is served from
DEFAULT_NPM_DIR = Path("/opt/dive-ziri-npm")  # where tools/mcp-servers installs gateway/npm's pins
DEFAULT_RESULT_LIMIT = 32 << 20  # largest reply of one field, in bytes of its JSON (a 16 MB image fits)
TRANSPORTS = {"stdio": "stdio", "http": "http", "streamable-http": "http", "streamableHttp": "http",
              "sse": "sse"}
REMOTE = ("http", "sse", "auto")  # "auto": a url without "type", Streamable HTTP else SSE
MAX_TIMEOUT = 86_400  # a day: a larger "timeout" is a typo, not a call anyone waits for
SECRET_FILE_LIMIT = 64 << 10  # a header value read from a file: a token, not a document
# A secret that must be a reference ("auth"): the whole value is one.
REFERENCE = re.compile(r"\$\{(?:(env|file):)?([^{}]+)\}")
VARIABLE = re.compile(r"\$\{([^{}]*)\}")  # any ${...} in a value that takes variables
NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
ENV_FILE_LIMIT = 1 << 20  # an envFile: a few variables, not a data set
# Every key an entry may have; any other is named in one warning line and ignored.
# "timeout" and the read-only overrides are read by the offer, not here.
ENTRY_KEYS = frozenset({
    "type", "command", "args", "env", "envFile", "cwd", "url", "headers", "auth", "roots", "disabled",
    "timeout", "readOnly", "readOnlyTools", "writeTools",
})
AUTH_FLOWS = ("authorization_code", "client_credentials")
TOKEN_AUTH_METHODS = ("client_secret_basic", "client_secret_post")
SIGNING_ALGORITHMS = ("RS256", "RS384", "RS512", "ES256", "ES384", "ES512", "PS256", "PS384", "PS512")


logger = logging.getLogger(__name__)


class ConfigError(ValueError):
    pass


class Secret:
    """A header value: its text is handed to the HTTP client and to nothing else,
    so a repr, an f-string or a log line shows only that it is there."""

    __slots__ = ("_value",)

    def __init__(self, value: str) -> None:
        self._value = value

    def reveal(self) -> str:
        return self._value

    def __repr__(self) -> str:
        return "Secret('***')"

    __str__ = __repr__

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Secret) and other._value == self._value

    def __hash__(self) -> int:
        return hash(self._value)


@dataclass(frozen=True)
class AuthConfig:
    """How a remote server's OAuth token is got: the flow and the client's own credentials."""

    flow: str = "authorization_code"
    client_id: str | None = None  # None: registered with the server at the first sign-in
    client_secret: Secret | None = None
    private_key: Secret | None = None  # client_credentials signed with a key instead of a secret
    signing_algorithm: str = "RS256"
    client_metadata_url: str | None = None
    # How a client registered beforehand shows its secret to the token endpoint.
    token_endpoint_auth_method: Literal["client_secret_basic", "client_secret_post"] = "client_secret_basic"
    callback_port: int = 0  # 0: any free port


@dataclass(frozen=True)
class ServerConfig:
    """A server started over stdio (command, args, env, cwd), reached at a URL
    (transport "http", "sse" or "auto", headers), or reached through streams of this
    process. Plain values: reading a configuration does not import the MCP SDK,
    so a bad command line fails at once.

    `roots` are the file:// URIs the server gets when it asks for its client's
    roots (none unless configured). `problem` says why a bad entry cannot run:
    it is reported as that server's failure while the others start."""

    name: str
    command: str = ""
    args: tuple[str, ...] = ()
    env: dict[str, str] | None = None
    cwd: Path | None = None
    streams: Callable[[], AbstractAsyncContextManager[tuple[Any, Any]]] | None = None
    transport: str = "stdio"
    url: str = ""
    headers: tuple[tuple[str, Secret], ...] = ()
    roots: tuple[str, ...] = ()
    auth: AuthConfig | None = None
    timeout: float | None = None  # seconds a call may take; None: the gateway's --timeout
    # What the user says of the tools' effects, over the server's own annotations: True makes
    # every tool read-only, False every tool writing; the lists name single tools.
    read_only: bool | None = None
    read_only_tools: frozenset[str] = frozenset()
    write_tools: frozenset[str] = frozenset()
    problem: str | None = field(default=None, compare=False)

    def reads_only(self, tool: str) -> bool | None:
        """Whether the entry says `tool` is read-only: the lists first, then the server's
        "readOnly"; None when it says nothing (the server's own annotation holds)."""
        if tool in self.write_tools:
            return False
        if tool in self.read_only_tools:
            return True
        return self.read_only


def in_process(name: str, server: FastMCP, *, roots: tuple[str, ...] = ()) -> ServerConfig:
    """A FastMCP server run on the gateway's own loop, its messages passed in memory."""
    import anyio
    from mcp.shared.memory import create_client_server_memory_streams

    @asynccontextmanager
    async def streams() -> AsyncIterator[tuple[Any, Any]]:
        lowlevel = server._mcp_server  # the SDK's own in-memory helper reaches it the same way
        async with (create_client_server_memory_streams() as (client, (read, write)),
                    anyio.create_task_group() as group):
            group.start_soon(lambda: lowlevel.run(read, write, lowlevel.create_initialization_options()))
            yield client
            group.cancel_scope.cancel()

    return ServerConfig(name, streams=streams, roots=roots)


def load_config(path: Path) -> list[ServerConfig]:
    """Read {"mcpServers": {...}} or VS Code's {"servers": {...}}.

    A server runs in the file's folder unless "cwd" names another, and a
    command, argument, environment value or root written as ./x or ../x is
    taken from the file's folder, so a configuration can travel with its
    servers. A file that cannot be read or has neither object raises
    ConfigError; an entry that is wrong comes back with every one of its
    problems in `problem`, so the good entries still start.
    """
    try:
        # utf-8-sig: editors on Windows save JSON with a byte-order mark, which the clients accept.
        document = json.loads(path.read_text(encoding="utf-8-sig"))
    except OSError as exc:
        raise ConfigError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise ConfigError(f"{path} is not JSON: {exc}") from None
    servers = None
    if isinstance(document, dict):
        servers = document.get("mcpServers", document.get("servers"))
    if not isinstance(servers, dict):
        raise ConfigError(f"{path}: expected an object with an \"mcpServers\" (or VS Code's \"servers\") object")
    folder = path.resolve().parent
    configs = []
    for name, entry in servers.items():
        if isinstance(entry, dict) and entry.get("disabled") is True:
            logger.info("server %r is disabled in %s", name, path)
            continue
        configs.append(_server(folder, name, entry))
    return configs


def _server(folder: Path, name: str, entry: object) -> ServerConfig:
    problems: list[str] = []
    if not isinstance(entry, dict):
        return ServerConfig(name, problem="the entry must be an object")
    for key in entry:
        if key not in ENTRY_KEYS:
            logger.warning("server %r: the key %r is not one the gateway knows; it is ignored", name, key)
    if "disabled" in entry and not isinstance(entry["disabled"], bool):
        problems.append("\"disabled\" must be true or false")

    def local(text: str) -> str:
        return str((folder / text).resolve()) if text.startswith(("./", "../")) else text

    def expand(value: object, what: str) -> object:
        return _expand(value, folder, what, problems) if isinstance(value, str) else value

    kind = entry.get("type")
    url = expand(entry.get("url"), "\"url\"")
    if kind is None:
        # A url alone: Streamable HTTP, or the older SSE transport when the server refuses it.
        kind = "auto" if "url" in entry and "command" not in entry else "stdio"
    transport = "auto" if kind == "auto" else TRANSPORTS.get(kind) if isinstance(kind, str) else None
    if transport is None:
        problems.append(f"\"type\" must be one of {', '.join(sorted(TRANSPORTS))}, not {kind!r}")
    roots = _roots(entry.get("roots", []), local, problems)
    calls = _calls(entry, problems)
    if transport in REMOTE or (transport is None and "url" in entry):
        if not isinstance(url, str) or urlsplit(url).scheme not in ("http", "https") or not urlsplit(url).netloc:
            problems.append("needs a \"url\" string starting with http:// or https://")
        headers = _headers(entry.get("headers", {}), folder, problems)
        auth = _auth(entry["auth"], folder, problems) if "auth" in entry else None
        if problems:
            return ServerConfig(name, problem="; ".join(problems))
        assert isinstance(url, str) and transport is not None
        return ServerConfig(name, transport=transport, url=url, headers=headers, roots=roots, auth=auth, **calls)
    if "auth" in entry:
        problems.append("\"auth\" is for a server reached at a \"url\"")

    command, args = expand(entry.get("command"), "\"command\""), entry.get("args", [])
    cwd = expand(entry.get("cwd", "."), "\"cwd\"")
    if not isinstance(command, str) or not command:
        problems.append("needs a \"command\" string (or a \"url\")")
    if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
        problems.append("\"args\" must be a list of strings")
        args = []
    args = [expand(a, "\"args\"") for a in args]
    environment = _environment(entry, folder, problems, expand)
    if not isinstance(cwd, str):
        problems.append("\"cwd\" must be a string")
    if problems:
        return ServerConfig(name, problem="; ".join(problems))
    assert isinstance(command, str) and isinstance(cwd, str) and all(isinstance(a, str) for a in args)
    return ServerConfig(name, command=_program(local(command)), args=tuple(local(str(a)) for a in args),
                        env=None if environment is None else {k: local(v) for k, v in environment.items()},
                        cwd=(folder / cwd).resolve(), roots=roots, **calls)

def _calls(entry: dict[str, Any], problems: list[str]) -> dict[str, Any]:
    """"timeout", "readOnly", "readOnlyTools" and "writeTools": how the server's calls are made."""
    calls: dict[str, Any] = {}
    timeout = entry.get("timeout")
    if timeout is not None:
        if isinstance(timeout, (int, float)) and not isinstance(timeout, bool) and 0 < timeout <= MAX_TIMEOUT:
            calls["timeout"] = float(timeout)
        else:
            problems.append(f"\"timeout\" must be a number of seconds above 0, at most {MAX_TIMEOUT}")
    read_only = entry.get("readOnly")
    if read_only is not None:
        if isinstance(read_only, bool):
            calls["read_only"] = read_only
        else:
            problems.append("\"readOnly\" must be true or false")
    for key, member in (("readOnlyTools", "read_only_tools"), ("writeTools", "write_tools")):
        names = entry.get(key, [])
        if isinstance(names, list) and all(isinstance(n, str) and n for n in names):
            calls[member] = frozenset(names)
        else:
            problems.append(f"\"{key}\" must be a list of tool names")
    if both := sorted(calls.get("read_only_tools", frozenset()) & calls.get("write_tools", frozenset())):
        problems.append(f"\"readOnlyTools\" and \"writeTools\" both name {', '.join(both)}")
    return calls


def _environment(entry: dict[str, Any], folder: Path, problems: list[str],
                 expand: Callable[[object, str], object]) -> dict[str, str] | None:
    """The server's own variables: "envFile"'s, then "env"'s over them. Numbers and booleans
    are written as JSON writes them (4, true), as the clients pass them."""
    env, env_file = entry.get("env"), expand(entry.get("envFile"), "\"envFile\"")
    if env is None and env_file is None:
        return None
    merged: dict[str, str] = {}
    if env_file is not None:
        if not isinstance(env_file, str):
            problems.append("\"envFile\" must be a string")
        else:
            merged.update(_env_file(folder / env_file, problems))
    if env is None:
        return merged
    if not isinstance(env, dict):
        problems.append("\"env\" must map names to strings")
        return None
    for key, value in env.items():
        if isinstance(value, bool):
            value = "true" if value else "false"
        elif isinstance(value, float) and value.is_integer():
            value = str(int(value))
        elif isinstance(value, int | float):
            value = str(value)
        if not isinstance(value, str):
            problems.append(f"\"env\" {key!r} must be a string, number or boolean")
            continue
        if isinstance(text := expand(value, f"\"env\" {key!r}"), str):
            merged[key] = text
    return merged


def _env_file(path: Path, problems: list[str]) -> dict[str, str]:
    """NAME=value lines as VS Code reads them: `#` comments, an optional `export`, values
    optionally in quotes. Never a value in a problem: such files hold secrets."""
    try:
        with path.open("rb") as stream:
            content = stream.read(ENV_FILE_LIMIT + 1)
    except OSError as exc:
        problems.append(f"\"envFile\": cannot read {path}: {exc.strerror or exc}")
        return {}
    if len(content) > ENV_FILE_LIMIT:
        problems.append(f"\"envFile\": {path} is over {ENV_FILE_LIMIT} bytes")
        return {}
    values = {}
    for number, line in enumerate(content.decode("utf-8-sig", errors="replace").splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        key, sep, value = line.removeprefix("export ").partition("=")
        key, value = key.strip(), value.strip()
        if not sep or not NAME.fullmatch(key):
            problems.append(f"\"envFile\": line {number} of {path} is not NAME=value")
            continue
        if len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'":
            value = value[1:-1]
        values[key] = value
    return values


def _program(command: str) -> str:
    """A command not on PATH that is one of the pinned npm servers: that one, so an installed
    gateway finds the bundled servers where tools/mcp-servers put them."""
    if "/" in command or shutil.which(command) is not None:
        return command
    npm = Path(os.environ.get(NPM_DIR_VARIABLE) or DEFAULT_NPM_DIR) / "node_modules" / ".bin" / command
    return str(npm) if npm.is_file() else command


def _expand(text: str, folder: Path, what: str, problems: list[str], *, files: bool = False) -> str | None:
    """`text` with every variable the clients know replaced; None, with the problem noted, when
    one cannot be. A problem names the variable, never a value."""
    workspace = folder.parent if folder.name in (".vscode", ".cursor") else folder
    failed = []

    def one(match: re.Match[str]) -> str:
        inner = match.group(1)
        kind, _, rest = inner.partition(":")
        if kind == "env" and NAME.fullmatch(rest):
            value = os.environ.get(rest)
            if value is None:
                failed.append(f"{what}: the environment variable {rest} is not set")
            return value or ""
        if kind == "input":
            failed.append(f"{what}: ${{{inner}}} asks VS Code to prompt for a value, which the gateway "
                          "cannot; set an environment variable and write ${env:NAME} instead")
            return ""
        if kind == "file" and files:
            return _file_value(folder, rest, what, failed)
        fixed = {"workspaceFolder": str(workspace), "workspaceFolderBasename": workspace.name,
                 "userHome": str(Path.home()), "pathSeparator": os.sep}
        if inner in fixed:
            return fixed[inner]
        name, default_given, default = inner.partition(":-")
        if not NAME.fullmatch(name):
            return match.group(0)  # not a variable: the text is taken as written
        value = os.environ.get(name)
        if not value and default_given:
            return default
        if value is None:
            failed.append(f"{what}: the environment variable {name} is not set")
            return ""
        return value

    expanded = VARIABLE.sub(one, text)
    problems.extend(failed)
    return None if failed else expanded


def _file_value(folder: Path, name: str, what: str, failed: list[str]) -> str:
    try:
        with (folder / name).open("rb") as stream:
            content = stream.read(SECRET_FILE_LIMIT + 1)
    except OSError as exc:
        failed.append(f"{what}: cannot read {name}: {exc.strerror or exc}")
        return ""
    if len(content) > SECRET_FILE_LIMIT:
        failed.append(f"{what}: {name} is over {SECRET_FILE_LIMIT} bytes")
        return ""
    return content.decode("utf-8", errors="replace").strip()


def _roots(value: object, local: Callable[[str], str], problems: list[str]) -> tuple[str, ...]:
    """Folders the server may ask for, as file:// URIs (MCP's roots are URIs)."""
    if not isinstance(value, list) or not all(isinstance(r, str) and r for r in value):
        problems.append("\"roots\" must be a list of folder paths or file:// URIs")
        return ()
    return tuple(r if r.startswith("file://") else Path(local(r)).resolve().as_uri() for r in value)


def _headers(value: object, folder: Path, problems: list[str]) -> tuple[tuple[str, Secret], ...]:
    """The headers with their variables and files expanded; a problem names the header
    and the variable or file, never a value."""
    if not isinstance(value, dict) or not all(isinstance(v, str) for v in value.values()):
        problems.append("\"headers\" must map names to strings")
        return ()
    headers = []
    for name, text in value.items():
        what = f"header {name!r}"
        expanded = _expand(text, folder, what, problems, files=True)
        if expanded is None:
            continue
        if "\r" in expanded or "\n" in expanded:
            problems.append(f"{what}: the value spans lines")
            continue
        headers.append((name, Secret(expanded)))
    return tuple(headers)


def _secret(text: str, folder: Path, what: str, problems: list[str], *, reference: bool = False,
            lines: bool = False) -> Secret | None:
    """A value, or the variable or file it names; `reference`: only a reference will do.
    `lines`: the value may span lines (a PEM key), which no header value may."""
    match = REFERENCE.fullmatch(text.strip())
    if match is None:
        if reference:
            problems.append(f"{what} must name its secret as \"${{env:NAME}}\" or \"${{file:PATH}}\", "
                            "not hold it")
            return None
        return Secret(text)
    kind, name = match.groups()
    if kind == "file":
        failed: list[str] = []
        value = _file_value(folder, name, what, failed)
        if failed:
            problems.extend(failed)
            return None
    else:
        env_value = os.environ.get(name)
        if env_value is None:
            problems.append(f"{what}: the environment variable {name} is not set")
            return None
        value = env_value
    if not lines and ("\r" in value or "\n" in value):
        problems.append(f"{what}: the value of {name} spans lines")
        return None
    return Secret(value)


def _auth(value: object, folder: Path, problems: list[str]) -> AuthConfig | None:
    """An "auth" object; every problem is named, never a secret's value."""
    if not isinstance(value, dict):
        problems.append("\"auth\" must be an object")
        return None
    known = {"flow", "clientId", "clientSecret", "privateKey", "signingAlgorithm", "clientMetadataUrl",
             "tokenEndpointAuthMethod", "callbackPort"}
    if unknown := sorted(set(value) - known):
        problems.append(f"\"auth\" has unknown members: {', '.join(unknown)}")
    flow = value.get("flow", "authorization_code")
    if flow not in AUTH_FLOWS:
        problems.append(f"\"auth\".\"flow\" must be one of {', '.join(AUTH_FLOWS)}, not {flow!r}")

    def text(key: str, choices: tuple[str, ...] = ()) -> str | None:
        item = value.get(key)
        if item is not None and (not isinstance(item, str) or not item or (choices and item not in choices)):
            problems.append(f"\"auth\".\"{key}\" must be "
                            + (f"one of {', '.join(choices)}" if choices else "a non-empty string"))
            return None
        return item

    client_id, metadata_url = text("clientId"), text("clientMetadataUrl")
    algorithm = text("signingAlgorithm", SIGNING_ALGORITHMS) or "RS256"
    chosen = text("tokenEndpointAuthMethod", TOKEN_AUTH_METHODS)
    method: Literal["client_secret_basic", "client_secret_post"] = (
        "client_secret_post" if chosen == "client_secret_post" else "client_secret_basic")
    secrets = {key: _secret(item, folder, f"\"auth\".\"{key}\"", problems, reference=True,
                            lines=key == "privateKey")
               for key in ("clientSecret", "privateKey") if isinstance(item := text(key), str)}
    if client_id is not None and REFERENCE.fullmatch(client_id.strip()):
        # An ID is no secret, but a team may keep it beside one.
        resolved = _secret(client_id, folder, "\"auth\".\"clientId\"", problems)
        client_id = resolved.reveal() if resolved is not None else None
    if metadata_url is not None and (urlsplit(metadata_url).scheme != "https"
                                     or urlsplit(metadata_url).path in ("", "/")):
        problems.append("\"auth\".\"clientMetadataUrl\" must be an https URL with a path")
    port = value.get("callbackPort", 0)
    if not isinstance(port, int) or isinstance(port, bool) or not 0 <= port <= 65535:
        problems.append("\"auth\".\"callbackPort\" must be a port number")
        port = 0
    if flow == "client_credentials":
        if client_id is None and "clientId" not in value:
            problems.append("the client_credentials flow needs \"clientId\"")
        if ("clientSecret" in value) == ("privateKey" in value):
            problems.append("the client_credentials flow needs one of \"clientSecret\" and \"privateKey\"")
    elif "privateKey" in value:
        problems.append("\"privateKey\" is for the client_credentials flow")
    if "clientSecret" in value and "clientId" not in value:
        problems.append("\"clientSecret\" needs the \"clientId\" it belongs to")
    return AuthConfig(flow=flow if isinstance(flow, str) else "authorization_code", client_id=client_id,
                      client_secret=secrets.get("clientSecret"), private_key=secrets.get("privateKey"),
                      signing_algorithm=algorithm, client_metadata_url=metadata_url,
                      token_endpoint_auth_method=method, callback_port=port)
