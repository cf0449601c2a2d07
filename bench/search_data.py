"""Data and queries for the service's search bench (scripts/bench-search).

  search_data.py sqlite DB_FILE USER_ID        fills the SQLite file directly
  search_data.py tsv FOLDER USER_ID            writes conversations.tsv and messages.tsv (COPY)
  search_data.py query ORIGIN                  signs in as the demo user, times the queries

The account gets 10,000 conversations of 100 turns each (1,000,000 turns) of generated text:
Chinese words, some English, Markdown marks. Debian's Python, standard library only.
"""

import json
import random
import sqlite3
import statistics
import sys
import time
import urllib.parse
import urllib.request

CONVERSATIONS = 10_000
TURNS = 100
GOAL_MS = 100

CHARACTERS = ("的一是在不了有和人这中大为上个国我以要他时来用们生到作地于出就分对成会可主发年动"
              "同工也能下过子说产种面而方后多定行学法所民得经十三之进着等部度家电力里如水化高自"
              "二理起小物现实加量都两体制机当使点从业本去把性好应开它合还因由其些然前外天政四日"
              "那社义事平形相全表间样与关各重新线内数正心反你明看原又么利比或但质气第向道命此变")
ENGLISH = ["deploy", "release", "cache", "latency", "Kubernetes", "index", "query", "budget",
           "review", "rollback", "container", "network", "certificate", "migration", "schema"]


def words(rng):
    out = []
    while sum(len(w) for w in out) < 90:
        roll = rng.random()
        if roll < 0.1:
            out.append(rng.choice(ENGLISH) + " ")
        elif roll < 0.15:
            out.append("**" + rng.choice(CHARACTERS) + rng.choice(CHARACTERS) + "**")
        else:
            out.append(rng.choice(CHARACTERS) + rng.choice(CHARACTERS))
    return "".join(out)


def rows(user_id):
    rng = random.Random(2026)
    message_id = 0
    for c in range(CONVERSATIONS):
        cid = f"bench-{c:05d}"
        created = 1_700_000_000_000 + c * 1_000_000
        conversation = (cid, user_id, f"对话 {c}", "kestrune-echo", created, created + TURNS)
        messages = []
        for t in range(TURNS):
            message_id += 1
            messages.append((message_id, cid, "assistant" if t % 2 else "user", words(rng),
                             created + t))
        yield conversation, messages


def fill_sqlite(path, user_id):
    db = sqlite3.connect(path)
    db.execute("PRAGMA synchronous = OFF")
    with db:
        for conversation, messages in rows(user_id):
            db.execute("INSERT INTO conversations (id, user_id, title, model, created_ms, "
                       "updated_ms) VALUES (?, ?, ?, ?, ?, ?)", conversation)
            db.executemany("INSERT INTO messages (id, conversation_id, role, content, created_ms) "
                           "VALUES (?, ?, ?, ?, ?)", messages)
    db.close()


def write_tsv(folder, user_id):
    with open(f"{folder}/conversations.tsv", "w", encoding="utf-8") as cs, \
            open(f"{folder}/messages.tsv", "w", encoding="utf-8") as ms:
        for conversation, messages in rows(user_id):
            cs.write("\t".join(str(v) for v in conversation) + "\n")
            for m in messages:
                ms.write("\t".join(str(v) for v in m) + "\n")


def request(origin, path, token=None, body=None):
    headers = {"Content-Type": "application/json"}
    if token:
        headers["Authorization"] = "Bearer " + token
    data = json.dumps(body).encode() if body is not None else None
    with urllib.request.urlopen(urllib.request.Request(origin + path, data, headers),
                                timeout=60) as reply:
        return json.loads(reply.read())


def queries():
    """Phrases a user remembers (three to six characters from the generated turns), two- and
    one-character Chinese, English words, and phrases found nowhere."""
    rng = random.Random(7)
    sample = [words(rng) for _ in range(200)]
    out = []
    for i, text in enumerate(sample):
        kind = i % 5
        plain = text.replace("**", "")
        start = rng.randrange(0, max(1, len(plain) - 6))
        if kind == 0:
            out.append(("phrase", plain[start:start + rng.randint(3, 6)].strip() or "部署方"))
        elif kind == 1:
            out.append(("two characters", rng.choice(CHARACTERS) + rng.choice(CHARACTERS)))
        elif kind == 2:
            out.append(("one character", rng.choice(CHARACTERS)))
        elif kind == 3:
            out.append(("English word", rng.choice(ENGLISH).lower()))
        else:
            out.append(("found nowhere", "无此" + rng.choice(ENGLISH) + "句"))
    return out


def time_queries(origin, label):
    token = request(origin, "/api/auth/login",
                    body={"login": "demo", "password": "demo-password-2026"})["token"]
    times = {}
    found = 0
    for kind, query in queries():
        path = "/api/search?" + urllib.parse.urlencode({"q": query, "limit": 20})
        start = time.perf_counter()
        answer = request(origin, path, token)
        times.setdefault(kind, []).append((time.perf_counter() - start) * 1000)
        found += len(answer["results"])
    every = sorted(t for kind in times.values() for t in kind)
    p95 = every[int(len(every) * 0.95)]
    for kind, values in times.items():
        values.sort()
        print(f"  {label}, {kind}: median {statistics.median(values):.1f} ms, "
              f"p95 {values[int(len(values) * 0.95)]:.1f} ms, worst {values[-1]:.1f} ms")
    print(f"  {label}: {len(every)} searches, {found} hits")
    verdict = "met" if p95 <= GOAL_MS else "NOT met"
    print(f"search p95 {label}, 1,000,000 turns: {p95:.1f} ms (goal: <= {GOAL_MS} ms): {verdict}")


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "sqlite":
        fill_sqlite(sys.argv[2], int(sys.argv[3]))
    elif mode == "tsv":
        write_tsv(sys.argv[2], int(sys.argv[3]))
    else:
        time_queries(sys.argv[2], sys.argv[3])
