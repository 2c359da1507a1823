"""The modules that the example commands beside this folder share: reading with quorel
(plot_read), the format's rules in plain Python (plot_rules, fault_finder), the per-file
summary (signal_summary), the ways to run it over many files (runners) and a progress count
(progress). None of them is run by itself."""
