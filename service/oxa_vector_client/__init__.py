"""Vector database client package, as the service imports it."""
