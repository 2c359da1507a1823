"""tolvane.view: a plot's signals in the browser, decimated on a local server."""
