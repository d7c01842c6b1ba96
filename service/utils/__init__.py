"""Service utilities: vector database and session store, logger, keyword tokenizer."""
