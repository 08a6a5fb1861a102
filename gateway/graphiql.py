"""GraphiQL, the in-browser IDE, served at GET /graphql to a browser from the pinned npm packages.

Every file the page loads comes from this gateway (never from a CDN), so its
Content-Security-Policy can allow 'self' and nothing else for scripts and
requests. The page needs no token: it holds nothing, and a browser cannot add
a header to a navigation. Its queries carry whatever the user writes in
GraphiQL's header editor (e.g. {"Authorization": "Bearer ..."}), like any
other client's; when one is refused for want of a token, a notice above
GraphiQL says so and where the header goes.
"""

import os
from dataclasses import dataclass
from pathlib import Path

from starlette.requests import Request
from starlette.responses import PlainTextResponse, Response

from .config import DEFAULT_NPM_DIR, NPM_DIR_VARIABLE

ASSET_PREFIX = "/graphql/graphiql/"
ASSET_PATH = ASSET_PREFIX + "{name}"
HTML = "text/html; charset=utf-8"
# Served name -> (file under node_modules, media type). Minified builds: the page loads them on every visit.
NPM_ASSETS = {
    "react.js": ("react/umd/react.production.min.js", "text/javascript; charset=utf-8"),
    "react-dom.js": ("react-dom/umd/react-dom.production.min.js", "text/javascript; charset=utf-8"),
    "graphiql.js": ("graphiql/graphiql.min.js", "text/javascript; charset=utf-8"),
    "graphiql.css": ("graphiql/graphiql.min.css", "text/css; charset=utf-8"),
}
# 'self' for scripts, styles and requests; data: for the fonts and icons GraphiQL's stylesheet
# embeds. Styles also need 'unsafe-inline': GraphiQL's dialogs lock scrolling with a <style>
# element whose text holds the scroll bar's width, so no hash can name it. Scripts stay 'self'
# only. Nothing may frame the page, and it posts no forms.
CONTENT_SECURITY_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
                           "img-src 'self' data:; font-src 'self' data:; connect-src 'self'; "
                           "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
PAGE_HEADERS = {"Content-Security-Policy": CONTENT_SECURITY_POLICY, "X-Content-Type-Options": "nosniff",
                "Referrer-Policy": "no-referrer", "Cache-Control": "no-cache"}
ASSET_HEADERS = {"X-Content-Type-Options": "nosniff", "Cache-Control": "public, max-age=3600"}

# Relative addresses: the page is the endpoint itself (/graphql), so they resolve under it
# even behind a proxy that serves the gateway under a prefix.
PAGE = """\
<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>GraphQL gateway</title>
<link rel="stylesheet" href="graphql/graphiql/graphiql.css">
<link rel="stylesheet" href="graphql/graphiql/page.css">
<link rel="icon" href="data:,">
</head>
<body>
<div id="token-notice" role="alert" hidden></div>
<div id="graphiql">Loading GraphiQL…</div>
<script src="graphql/graphiql/react.js"></script>
<script src="graphql/graphiql/react-dom.js"></script>
<script src="graphql/graphiql/graphiql.js"></script>
<script src="graphql/graphiql/start.js"></script>
</body>
</html>
"""
# The notice above GraphiQL takes the height it needs; GraphiQL takes the rest.
PAGE_CSS = """\
html, body { height: 100%; margin: 0; }
body { display: flex; flex-direction: column; }
#graphiql { flex: 1; min-height: 0; }
#token-notice { padding: 8px 16px; font: 14px/1.5 system-ui, sans-serif; color: #3d2c00;
  background: #fff4d6; border-bottom: 1px solid #e0c36a; }
"""
# A file of its own because the policy allows no inline script. Incremental delivery is off:
# the gateway answers every request with one JSON document, and the multipart reader would
# only add an Accept type the gateway does not serve.
#
# GraphiQL takes an edit of the header editor into its state 100 ms later, and re-fetches the
# schema with the headers of that state: a re-fetch right after a token was written went without
# it. So every request carries the editor's text as it was last edited (running a query reads
# the editor anyway). A 401 shows the notice above GraphiQL: the schema cannot load without a
# token, and the page alone cannot say where one goes.
START_JS = """\
"use strict";
(function () {
  var notice = document.getElementById("token-notice");
  var editedHeaders = null;

  function headersAsEdited(given) {
    if (editedHeaders === null) {
      return given;
    }
    var parsed;
    try {
      parsed = editedHeaders.trim() ? JSON.parse(editedHeaders) : {};
    } catch (error) {
      return given;
    }
    return parsed !== null && typeof parsed === "object" && !Array.isArray(parsed) ? parsed : given;
  }

  function fetchTellingRefusals(url, init) {
    return window.fetch(url, init).then(function (response) {
      if (response.status !== 401) {
        notice.hidden = true;
        return response;
      }
      return response.clone().json().then(function (body) {
        return body.errors[0].message;
      }).catch(function () {
        return "401 Unauthorized";
      }).then(function (said) {
        notice.textContent = "This gateway needs a token, so the schema did not load (it answered 401: " +
          said + "). Open Headers below the query editor, write {\\"Authorization\\": \\"Bearer <your " +
          "token>\\"}, then re-fetch the schema (the \u21bb button at the bottom left).";
        notice.hidden = false;
        return response;
      });
    });
  }

  var fetchGraphQL = GraphiQL.createFetcher({
    url: window.location.pathname, enableIncrementalDelivery: false, fetch: fetchTellingRefusals
  });
  function fetcher(params, options) {
    return fetchGraphQL(params, Object.assign({}, options, { headers: headersAsEdited(options && options.headers) }));
  }

  var root = ReactDOM.createRoot(document.getElementById("graphiql"));
  root.render(React.createElement(GraphiQL, {
    fetcher: fetcher,
    onEditHeaders: function (text) { editedHeaders = text; },
    defaultEditorToolsVisibility: true,
    defaultQuery: "# The tools of every server are fields of Query (read-only) and Mutation.\\n" +
      "# Open the documentation explorer to browse them; send a token in Headers.\\n" +
      "{\\n  servers {\\n    name\\n    description\\n    toolCount\\n  }\\n}\\n"
  }));
})();
"""
OWN_ASSETS = {"page.css": (PAGE_CSS.encode(), "text/css; charset=utf-8"),
              "start.js": (START_JS.encode(), "text/javascript; charset=utf-8")}


class AssetsMissing(Exception):
    pass


def npm_dir(flag: Path | None = None, environ: dict[str, str] | os._Environ[str] = os.environ) -> Path:
    """The npm folder GraphiQL comes from: the flag, else GATEWAY_NPM_DIR, else the default."""
    if flag is not None:
        return flag
    named = environ.get(NPM_DIR_VARIABLE)
    return Path(named) if named else DEFAULT_NPM_DIR


@dataclass(frozen=True)
class GraphiQL:
    """The page and the files it loads, read once into memory (about 1.5 MB)."""

    assets: dict[str, tuple[bytes, str]]

    @classmethod
    def load(cls, folder: Path) -> GraphiQL:
        """Reads the pinned packages from `folder` (an npm prefix, or its node_modules);
        AssetsMissing names what is absent and how to get it."""
        modules = folder if folder.name == "node_modules" else folder / "node_modules"
        assets = dict(OWN_ASSETS)
        for name, (relative, media) in NPM_ASSETS.items():
            try:
                assets[name] = ((modules / relative).read_bytes(), media)
            except OSError as exc:
                raise AssetsMissing(
                    f"GraphiQL cannot be served: {modules / relative} is missing ({exc.strerror}). "
                    f"Install the pinned npm packages (tools/mcp-servers) or name their folder with "
                    f"--npm-dir or {NPM_DIR_VARIABLE}") from None
        return cls(assets)

    def page(self) -> Response:
        return Response(PAGE, media_type=HTML, headers=PAGE_HEADERS)

    async def asset(self, request: Request) -> Response:
        found = self.assets.get(request.path_params["name"])
        if found is None:
            return PlainTextResponse("no such GraphiQL file", status_code=404)
        body, media = found
        return Response(body, media_type=media, headers=ASSET_HEADERS)


def wants_page(accept: str | None) -> bool:
    """Whether a GET comes from a browser's navigation: its Accept names text/html before any
    JSON type (browsers send text/html first; GraphQL clients never name it)."""
    for item in (accept or "").split(","):
        kind, *params = (part.strip().lower() for part in item.split(";"))
        if any(param.replace(" ", "") in ("q=0", "q=0.0", "q=0.00", "q=0.000") for param in params):
            continue
        if kind == "text/html":
            return True
        if kind in ("application/json", "application/graphql-response+json"):
            return False
    return False
