"""Demonstration of the community package on the embedded defaults.

Indexes the demonstration corpus into the embedded vector database, then
answers a question with every query shape of the vector retriever, in its
single- and multi-question forms, shows the keyword filter and the recommend
search, asks the external knowledge-base retriever through a local
knowledge-base HTTP service, and runs a question-answering chain that ends
with the reasoning parser:

    python -m hostkit.demo [-v] [--passages N] ["question" ["second question"]]
    (service/ and the project root on sys.path)

-v shows the retrievers' log lines (the service logger at info level).
--passages N adds N synthetic passages (words of the corpus, hostkit.synthetic)
to the collection first, with a progress bar, so that the same questions are
answered from a large collection.  Each retrieval prints its latency.
"""
import asyncio
import logging
import os
import sys
import time

from community.retrievers import qor
from hostkit.corpus import index_corpus
from oxa_vector_client.http import models

DEFAULT_QUESTIONS = ["How do I install the client on Windows?", "发票在哪里下载"]


def show(label, docs, elapsed=None):
    if elapsed is not None:
        label = "%-20s %8.2f ms  " % (label, elapsed * 1e3)
    head = "  %-24s" % label
    print(head, end="")
    if not docs:
        print("(no documents)")
        return
    print(("\n" + " " * len(head)).join(
        "%.6f  %-20s %s" % (d.metadata["score"], d.metadata.get("doc_id", "?"), d.metadata.get("title", ""))
        for d in docs))


def vector_retrieval(store, question, second):
    retriever = qor.VectorStoreRetriever(
        vectorstore=store,
        search_kwargs={"filter": models.Filter(must=[]), "k": 3, "score_threshold": None},
        post_process_kwargs={"weight": 1.0},
    )
    dense, sparse = store.embeddings.embed_query(question), store.sparse_encoder.encode_query(question)
    dense2, sparse2 = store.embeddings.embed_query(second), store.sparse_encoder.encode_query(second)
    print("\nVectorStoreRetriever, k=3 (score = reciprocal-rank score of the position)")
    print("question: %s\nsecond question of the multi-question forms: %s" % (question, second))
    both = [question, second]
    forms = [
        ("hybrid", {"query": question, "embedding": dense, "bm25": sparse}),
        ("hybrid, multi", {"query": both, "embedding": [dense, dense2], "bm25": [sparse, sparse2]}),
        ("dense", {"query": question, "embedding": dense}),
        ("dense, multi", {"query": both, "embedding": [dense, dense2]}),
        ("sparse (bm25)", {"query": question, "bm25": sparse}),
        ("sparse (bm25), multi", {"query": both, "bm25": [sparse, sparse2]}),
        ("text", {"query": question}),
        ("text, multi", {"query": both}),
    ]
    for label, inputs in forms:
        start = time.perf_counter()
        docs = retriever.invoke(inputs)
        show(label, docs, time.perf_counter() - start)
    return retriever


def keyword_filter(store, retriever, question):
    print("\nKeyword filter")
    mapping = retriever.add_keywords_to_filter({"query": question, "user_dict": ""}, retriever.search_kwargs)
    keywords = [c["match"]["text"] for c in mapping.get("must", [])]
    print("  keywords of the question: %s" % keywords)
    filtered = qor.VectorStoreRetriever(
        vectorstore=store,
        search_kwargs={"filter": models.Filter.model_validate(mapping), "k": 3, "score_threshold": None},
        post_process_kwargs={},
    )
    start = time.perf_counter()
    docs = filtered.invoke({"query": question})
    show("text, keyword filter", docs, time.perf_counter() - start)


def recommend(store, question, second):
    print("\nVectorStoreRecommender: towards the first question, away from the second")
    recommender = qor.VectorStoreRecommender(vectorstore=store, search_kwargs={"filter": models.Filter(must=[]), "k": 3})
    inputs = {"query": question, "embedding": store.embeddings.embed_query(question),
              "negative_embedding": store.embeddings.embed_query(second)}
    start = time.perf_counter()
    docs = recommender.invoke(inputs)
    show("recommend", docs, time.perf_counter() - start)


def external_retrieval(store, question):
    """The external retriever against the knowledge-base HTTP service of the
    stand-ins, started on loopback over the same collection."""
    from hostkit.kb_service import KbService

    print("\nExternalRetriever against the knowledge-base HTTP service (127.0.0.1)")
    with KbService({"demo": store}, api_key="demo-key") as kb:
        overrides = {"QOR_CONF__service__qor_service__qor_host": kb.base_url,
                     "QOR_CONF__service__qor_service__default_token": "demo-key"}
        saved = {k: os.environ.get(k) for k in overrides}
        os.environ.update(overrides)
        try:
            retriever = qor.ExternalRetriever(search_kwargs={"kb_id": "demo", "k": 3})
            for label, docs in (("invoke", retriever.invoke({"query": question})),
                                ("ainvoke", asyncio.run(retriever.ainvoke({"query": question})))):
                print("  %-24s" % label, end="")
                print(("\n" + " " * 26).join(
                    "%.6f  %-20s %s" % (d.metadata["score"], d.metadata.get("doc_id", "?"), d.metadata.get("title"))
                    for d in docs) or "(no documents)")
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v


ANSWER = ("<think>The passage install-windows says: download HarborSetup.exe and run it as a normal "
          "user; Windows 10 or later, 300 MB free.</think>Download HarborSetup.exe from the download page, "
          "run it as a normal user, then sign in from the tray icon.")


def reasoning_parser(retriever, question):
    """The question-answering chain: retrieved passages in a prompt, a chat
    model that streams reasoning output (scripted here), and the parser that
    splits reasoning from answer and records the token usage."""
    from langchain_core.language_models.fake_chat_models import FakeListChatModel
    from langchain_core.prompts import ChatPromptTemplate

    from community.models import cogsift
    from utils.dbs import get_redis_data

    print("\nqorCogsift at the end of a chain (prompt | chat model | parser)")
    docs = retriever.invoke({"query": question})
    context = "\n".join(d.page_content for d in docs)
    prompt = ChatPromptTemplate.from_messages([("system", "Answer from these passages:\n{context}"),
                                               ("human", "{question}")])
    chain = prompt | FakeListChatModel(responses=[ANSWER]) | cogsift.qorCogsift()
    values = {"context": context, "question": question}
    config = {"input": {"session_id": "demo-session"},
              "metadata": {"model_name": "scripted-reasoner", "prompt": prompt.invoke(values)}}

    message = chain.invoke(values, config=config)
    print("  invoke     answer:    %r" % message.content)
    print("             reasoning: %r" % message.reasoning_content)
    chunks = list(chain.stream(values, config=config))
    reasoning = "".join(c.reasoning_content for c in chunks)
    answer = "".join(c.content for c in chunks)
    print("  stream     %d chunks of one character in, %d chunks out" % (len(ANSWER), len(chunks)))
    print("             answer:    %r" % answer)
    print("             reasoning: %r" % reasoning)
    print("  usage of session 'demo-session', model 'scripted-reasoner' (prompt, completion, total tokens):")
    print("             %s" % get_redis_data("usage:demo-session", key="scripted-reasoner"))
    print("\nThe parser module's own demonstration (18 pieces through the module-level atransform):")
    cogsift.demo()


def passages_option(argv):
    """(N of --passages N, or 0; the other arguments)."""
    if "--passages" not in argv:
        return 0, argv
    at = argv.index("--passages")
    try:
        count = int(argv[at + 1])
    except (IndexError, ValueError):
        raise SystemExit("--passages needs a number of passages") from None
    if count < 0:
        raise SystemExit("--passages needs a number >= 0")
    return count, argv[:at] + argv[at + 2:]


def main(argv):
    from hostkit import synthetic
    from utils import dbs
    from utils.logger import logger

    if "-v" in argv:
        argv = [a for a in argv if a != "-v"]
    else:
        logger.setLevel(logging.WARNING)
    extra, argv = passages_option(argv)
    questions = (argv + DEFAULT_QUESTIONS)[:2] if argv else DEFAULT_QUESTIONS
    question, second = questions[0], questions[1]
    store = index_corpus()
    if extra:
        synthetic.load(store, extra, progress=synthetic.progress_bar("loading synthetic passages", sys.stderr),
                       optimize=False)
        print("building the indexes ...", end="", file=sys.stderr, flush=True)
        start = time.perf_counter()
        store.optimize()
        print(" %.1f s" % (time.perf_counter() - start), file=sys.stderr)
    kind = {"engine": "in-process engine", "local": "client's local mode", "server": "server"}[dbs.client_kind()]
    print("collection %s: %d passages in the vector database (%s)" % (store.collection_name, store.count(), kind))
    retriever = vector_retrieval(store, question, second)
    keyword_filter(store, retriever, second)
    recommend(store, question, second)
    external_retrieval(store, question)
    reasoning_parser(retriever, question)


if __name__ == "__main__":
    main(sys.argv[1:])
